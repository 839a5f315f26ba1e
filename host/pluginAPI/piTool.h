// Tools and the tool registry.
//
// A tool protocol says what a tool is (name, description, short name, the
// host's product name, manufacturer and version strings, category, interface
// level, visibility, structure), how it describes its nodes and how it makes
// the controller of a new node. Registering a protocol describes the tool
// once and publishes the result, a PiTool, under the tool's name; nodes are
// made from PiTools and keep theirs alive, so unregistering a tool stops new
// nodes (and loading saved ones) without disturbing existing nodes.
//
// Fields with host meaning:
//   interface level  the integer field; the host accepts tools written for
//                    interface levels up to kHostInterfaceLevel (2) and
//                    refuses newer ones at registration;
//   visibility       1 the tool is offered to the user, 0 it is internal
//                    (made only by other tools' controllers);
//   structure        1 the tool's nodes are groups (a node graph inside,
//                    with boundary nodes for the group's inputs and
//                    outputs), 0 plain nodes.
//
// Names: the registry keys tools by their host-formatted name
// (PiMorvaneToolProtocol::getMorvaneToolName: surrounding blanks dropped and
// inner runs of blanks made one space), and formats the name it is asked for
// the same way.
//
// Threading: the registry is a process-wide singleton living in this shared
// library, so that the application and every module it loads see one
// instance; it is guarded by a mutex. Protocols and tools are immutable once
// registered. Failures: registering a second tool under a taken name, an
// empty name, a newer interface level or a bad description throws
// std::invalid_argument and registers nothing.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piDescriptor.h"

class PiNodeController;

class PiToolProtocol {
 public:
  static constexpr int kHostInterfaceLevel = 2;

  virtual ~PiToolProtocol() = default;

  std::string const& getName() const { return _name; }
  std::string const& getShortName() const { return _shortName; }
  std::string const& getDescription() const { return _description; }
  std::string const& getProductName() const { return _productName; }
  std::string const& getManufacturer() const { return _manufacturer; }
  std::string const& getVersionString() const { return _versionString; }
  std::string const& getCategory() const { return _category; }
  int getIntegerField() const { return _integerField; }
  int getVisibility() const { return _visibility; }
  int getStructure() const { return _structure; }
  bool isGroupTool() const { return _structure == 1; }

  void setName(std::string v) { _name = std::move(v); }
  void setShortName(std::string v) { _shortName = std::move(v); }
  void setDescription(std::string v) { _description = std::move(v); }
  void setProductName(std::string v) { _productName = std::move(v); }
  void setManufacturer(std::string v) { _manufacturer = std::move(v); }
  void setVersionString(std::string v) { _versionString = std::move(v); }
  void setCategory(std::string v) { _category = std::move(v); }
  void setIntegerField(int v) { _integerField = v; }
  void setVisibility(int v) { _visibility = v; }
  void setStructure(int v) { _structure = v; }

  virtual void describe(PiToolPolicyDescriptor& descriptor) const = 0;
  virtual RCShdPtr<PiNodeController> createController() const = 0;

  // "Warping".
  static std::string getWarpingCategory();

 private:
  std::string _name, _shortName, _description, _productName, _manufacturer, _versionString, _category;
  int _integerField = kHostInterfaceLevel;
  int _visibility = 1;
  int _structure = 0;
};

// A protocol over a describe function and a controller factory; create<C>
// takes both from a controller class C (static C::describe, default
// constructor).
class PiToolProtocolImp : public PiToolProtocol {
 public:
  using DescribeFn = std::function<void(PiToolPolicyDescriptor&)>;
  using ControllerFactory = std::function<RCShdPtr<PiNodeController>()>;

  PiToolProtocolImp(DescribeFn describe, ControllerFactory factory)
      : _describe(std::move(describe)), _factory(std::move(factory)) {}

  template <class C>
  static RCShdPtr<PiToolProtocolImp> create(std::string name, std::string shortName, std::string category,
                                            std::string productName, std::string manufacturer,
                                            std::string versionString, int integerField, int visibility,
                                            int structure) {
    auto p = makeRC<PiToolProtocolImp>(describeOf<C>(), factoryOf<C>());
    p->setFields(std::move(name), std::move(shortName), std::move(category), std::move(productName),
                 std::move(manufacturer), std::move(versionString), integerField, visibility, structure);
    return p;
  }

  void describe(PiToolPolicyDescriptor& descriptor) const override { _describe(descriptor); }
  RCShdPtr<PiNodeController> createController() const override { return _factory(); }

 protected:
  template <class C>
  static DescribeFn describeOf() {
    return [](PiToolPolicyDescriptor& d) { C::describe(d); };
  }
  template <class C>
  static ControllerFactory factoryOf() {
    return [] { return RCShdPtr<PiNodeController>(makeRC<C>()); };
  }
  void setFields(std::string name, std::string shortName, std::string category, std::string productName,
                 std::string manufacturer, std::string versionString, int integerField, int visibility, int structure);

 private:
  DescribeFn _describe;
  ControllerFactory _factory;
};

// The protocol of the host's own product line: product name, manufacturer
// and version are the host's.
class PiMorvaneToolProtocol : public PiToolProtocolImp {
 public:
  using PiToolProtocolImp::PiToolProtocolImp;

  // An image tool: warping category, interface level 2, visible, plain.
  template <class C>
  static RCShdPtr<PiMorvaneToolProtocol> create(std::string name, std::string description) {
    auto p = makeRC<PiMorvaneToolProtocol>(describeOf<C>(), factoryOf<C>());
    p->setFields(std::move(name), std::string(), getWarpingCategory(), getMorvaneProductName(),
                 getMorvaneManufacturer(), getMorvaneVersionString(), kHostInterfaceLevel, 1, 0);
    p->setDescription(std::move(description));
    return p;
  }
  // A group tool (structure 1).
  template <class C>
  static RCShdPtr<PiMorvaneToolProtocol> createGroupTool(std::string name, std::string category, int integerField,
                                                         std::string description, int visibility) {
    auto p = create<C>(std::move(name), std::move(description));
    p->setCategory(std::move(category));
    p->setIntegerField(integerField);
    p->setVisibility(visibility);
    p->setStructure(1);
    return p;
  }

  static std::string getMorvaneProductName();
  static std::string getMorvaneManufacturer();
  static std::string getMorvaneVersionString();
  // The registry's form of a tool name.
  static std::string getMorvaneToolName(std::string const& name);
};

// A registered tool: its protocol and its description.
class PiTool {
 public:
  PiTool(RCShdPtr<const PiToolProtocol> protocol, PiToolPolicyDescriptor descriptor, std::string name)
      : _protocol(std::move(protocol)), _descriptor(std::move(descriptor)), _name(std::move(name)) {}

  std::string const& getName() const { return _name; }  // registry form
  RCShdPtr<const PiToolProtocol> const& getProtocol() const { return _protocol; }
  PiToolPolicyDescriptor const& getDescriptor() const { return _descriptor; }
  bool isGroupTool() const { return _protocol->isGroupTool(); }
  RCShdPtr<PiNodeController> createController() const { return _protocol->createController(); }

 private:
  RCShdPtr<const PiToolProtocol> _protocol;
  PiToolPolicyDescriptor _descriptor;
  std::string _name;
};

class PiToolRegistry {
 public:
  static PiToolRegistry& getInstance();

  // Describes and registers. `complete`, when given, finishes the
  // description before it is checked (the image modifier adds its single
  // input and main output there).
  RCShdPtr<const PiTool> registerTool(RCShdPtr<PiToolProtocol> const& protocol,
                                      std::function<void(PiToolPolicyDescriptor&)> const& complete = {});
  // False when no tool has that name.
  bool unregisterTool(std::string const& name);
  // Null when no tool has that name.
  RCShdPtr<const PiTool> findTool(std::string const& name) const;
  // In registration order.
  std::vector<RCShdPtr<const PiTool>> getTools() const;

 private:
  PiToolRegistry() = default;
  mutable std::mutex _mutex;
  std::vector<RCShdPtr<const PiTool>> _tools;
};
