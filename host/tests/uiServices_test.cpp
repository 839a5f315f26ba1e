// Services around the user interface: the clipboard, XML descriptions and
// the environment they are found through.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "framework/drClipboard.h"
#include "internalAPI/piExternalWidgetFactory.h"
#include "resmgt/osEnv.h"

namespace {

struct Snapshot {
  std::vector<float> points;
};

TEST(ClipboardTest, CarriesATypedSnapshotAmongOtherItems) {
  using Item = SnItemBasic<RCShdPtr<Snapshot>>;
  DrClipboard& clipboard = DrClipboard::getInstance();
  int changes = 0;
  CbFunctionHandler<CbEmptyType> counter([&](CbEmptyType&) { ++changes; });
  clipboard.addChangeCallback(&counter);

  auto selection = SnSelection::create();
  selection->addItem(SnItemBasic<int>::create(4));
  auto snapshot = makeRC<Snapshot>(Snapshot{{1.5f, -2.0f}});
  EXPECT_TRUE(selection->addItem(Item::create(snapshot)));
  EXPECT_FALSE(selection->addItem(Item::create(snapshot)));  // same value, same item
  clipboard.setContent(DrCarrier::create(selection), DrAction::Cut);
  selection->clear();  // the clipboard keeps its own copy

  auto content = clipboard.getContent()->getSelection();
  ASSERT_EQ(content->getItemCount(), 2u);
  EXPECT_EQ(content->findFirst<RCShdPtr<Snapshot>>()->getValue()->points, (std::vector<float>{1.5f, -2.0f}));
  EXPECT_TRUE(content->findFirst<double>().isNull());
  EXPECT_EQ(content->getValues<int>(), std::vector<int>{4});
  EXPECT_EQ(clipboard.getAction(), DrAction::Cut);
  clipboard.clear();
  EXPECT_TRUE(clipboard.isEmpty());
  EXPECT_EQ(clipboard.getAction(), DrAction::Copy);
  EXPECT_EQ(changes, 2);
  clipboard.removeChangeCallback(&counter);
}

TEST(XmlDescriptionTest, ReadsElementsAndReportsWhereADocumentIsBroken) {
  auto doc = PiXmlDocument::parse(
      "<?xml version=\"1.0\"?>\n<panel name=\"Warp\" cols=\"2\">\n  <!-- note -->\n"
      "  <row label=\"A &amp; B\">  text &lt;1&gt; </row>\n  <row/>\n</panel>",
      "panel.xml");
  PiXmlElement const& root = doc->getRoot();
  EXPECT_EQ(root.getName(), "panel");
  EXPECT_EQ(root.getAttribute("cols"), "2");
  EXPECT_EQ(root.getAttribute("rows", "none"), "none");
  ASSERT_EQ(root.getChildren().size(), 2u);
  EXPECT_EQ(root.findChild("row")->getAttribute("label"), "A & B");
  EXPECT_EQ(root.findChild("row")->getText(), "text <1>");
  EXPECT_EQ(root.getChildren()[1].getLine(), 5);

  struct Case {
    char const* text;
    char const* message;
  } const cases[] = {
      {"<a>\n  <b></a>", "x.xml:2:8: mismatched tag"},
      {"", "x.xml:1:1: no element found"},
      {"<a x='1' x='2'/>", "x.xml:1:10: duplicate attribute"},
      {"<a/><b/>", "x.xml:1:5: junk after document element"},
  };
  for (Case const& c : cases) {
    try {
      PiXmlDocument::parse(c.text, "x.xml");
      ADD_FAILURE() << c.text;
    } catch (PiXmlError const& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(XmlDescriptionTest, DescriptionsAreFoundThroughTheToolUiDirectory) {
  namespace fs = std::filesystem;
  fs::path const dir = fs::temp_directory_path() / "qxUiServicesTest";
  fs::create_directories(dir);
  std::ofstream(dir / "list.xml") << "<list name=\"Shapes\"/>";
  setenv("QX_TOOL_UI_DIR", dir.c_str(), 1);
  std::string value = "untouched";
  EXPECT_TRUE(OsEnv::getVariable("QX_TOOL_UI_DIR", value));
  EXPECT_EQ(value, dir.string());
  unsetenv("QX_UI_SERVICES_UNSET");
  EXPECT_FALSE(OsEnv::getVariable("QX_UI_SERVICES_UNSET", value));
  EXPECT_EQ(value, dir.string());

  PiXmlWidget widget(PiExternalWidgetFactory::createXmlDocument("<ToolUiDir>/list.xml"));
  EXPECT_EQ(widget.getName(), "Shapes");
  try {
    PiExternalWidgetFactory::createXmlDocument("<ToolUiDir>/missing.xml");
    ADD_FAILURE() << "read a missing file";
  } catch (PiXmlError const& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "missing.xml").string() + ": cannot read the file: No such file or directory");
  }
}

}  // namespace
