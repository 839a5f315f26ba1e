// Initialisation packages: dependency order, sharing, reverse finalisation,
// cycles, and failures that take back what was registered.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "base/inBuildInfo.h"
#include "base/inInit.h"

namespace {

std::vector<std::string> journal;
bool failNext = false;

// Package P<N> records its steps; its dependencies are D... .
template <char N, class... D>
struct P {
  static constexpr char kName[] = {'p', N, '\0'};
  using Dependencies = InDependencies<D...>;
  static void initialize() {
    if (failNext && N == 'f') throw std::runtime_error("no disk");
    journal.push_back(std::string("+") + N);
  }
  static void finalize() { journal.push_back(std::string("-") + N); }
};

using A = P<'a'>;
using B = P<'b', A>;
using C = P<'c', A>;
using D = P<'d', C, B>;
using E = P<'e', A, C>;

struct Record : InBuildInfo {
  std::string getProductName() const override { return "T"; }
  std::string getLibraryName() const override { return "libRollback"; }
  int getMajorVersion() const override { return 0; }
  int getMinorVersion() const override { return 0; }
  std::string getVersionString() const override { return "0"; }
  std::string getLongVersionString() const override { return "0"; }
  int getBuildNumber() const override { return 0; }
  std::string getBuildDate() const override { return ""; }
  std::string getBuildConfiguration() const override { return ""; }
};
// Registers, then fails when asked: what it registered must not stay.
struct F {
  static constexpr char const* kName = "pf";
  using Dependencies = InDependencies<B>;
  static void initialize() {
    InBuildInfoUtil::registerInfo(new Record());
    P<'f'>::initialize();
  }
};

struct X;
struct Y {
  static constexpr char const* kName = "py";
  using Dependencies = InDependencies<A, X>;
};
struct X {
  static constexpr char const* kName = "px";
  using Dependencies = InDependencies<Y>;
};
struct Lone {
  static constexpr char const* kName = "lone";
  using Dependencies = InDependencies<Y>;
};

struct PackagesTest : ::testing::Test {
  void SetUp() override { journal.clear(); }
  InPackageRegistry& reg = InPackageRegistry::getInstance();
  InInit<A> a;
  InInit<B> b;
  InInit<C> c;
  InInit<D> d;
  InInit<E> e;
};

TEST_F(PackagesTest, InitialiseInDependencyOrderOnceAndFinaliseInReverse) {
  InPackageClaim first = reg.claim({"pd"});
  EXPECT_EQ(journal, (std::vector<std::string>{"+a", "+c", "+b", "+d"}));
  EXPECT_EQ(first.getPackages(), (std::vector<std::string>{"pa", "pc", "pb", "pd"}));
  InPackageClaim second = reg.claim({"pe", "pb"});  // a, c and b are shared
  EXPECT_EQ(journal.back(), "+e");
  EXPECT_EQ(journal.size(), 5u);
  EXPECT_EQ(reg.getClaimCount("pa"), 2);
  first.release();
  EXPECT_EQ(journal.back(), "-d");  // b stays: the second claim names it
  EXPECT_TRUE(reg.isInitialized("pb"));
  second.release();
  EXPECT_EQ(journal, (std::vector<std::string>{"+a", "+c", "+b", "+d", "+e", "-d", "-e", "-b", "-c", "-a"}));
  EXPECT_TRUE(reg.getInitializedPackages().empty());
}

TEST_F(PackagesTest, CyclesAndMissingDependenciesAreReportedBeforeAnythingStarts) {
  auto claimError = [&](char const* name) {
    try {
      reg.claim({name});
    } catch (std::invalid_argument const& e) {
      return std::string(e.what());
    }
    return std::string("claimed");
  };
  std::optional<InInit<Y>> y(std::in_place);
  InInit<Lone> lone;
  EXPECT_EQ(claimError("lone"), "package \"py\" depends on \"px\", which no loaded library defines");
  InInit<X> x;
  EXPECT_EQ(claimError("lone"), "package dependency cycle: \"py\" -> \"px\" -> \"py\"");
  EXPECT_EQ(claimError("nothing"), "no package named \"nothing\" is defined");
  EXPECT_TRUE(journal.empty());
  y.reset();
  EXPECT_FALSE(reg.isDefined("py"));
}

TEST_F(PackagesTest, AFailedInitialisationTakesBackItsClaimAndRegistrations) {
  InInit<F> f;
  InPackageClaim keep = reg.claim({"pa"});
  failNext = true;
  try {
    reg.claim({"pf"});
    ADD_FAILURE() << "claimed";
  } catch (std::runtime_error const& e) {
    EXPECT_STREQ(e.what(), "package \"pf\" failed to initialise: no disk");
  }
  failNext = false;
  EXPECT_EQ(journal, (std::vector<std::string>{"+a", "+b", "-b"}));
  EXPECT_EQ(reg.getClaimCount("pa"), 1);
  EXPECT_TRUE(InBuildInfoUtil::findInfo("libRollback").isNull());

  // Registered and left by a package that started: taken back at its end.
  InPackageClaim ok = reg.claim({"pf"});
  EXPECT_FALSE(InBuildInfoUtil::findInfo("libRollback").isNull());
  ok.release();
  EXPECT_TRUE(InBuildInfoUtil::findInfo("libRollback").isNull());
}

}  // namespace
