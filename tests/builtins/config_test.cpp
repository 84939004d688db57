// Version records and their lists, GetVersion over the whole registry, and the privileged
// configuration built-ins seen from the general environment.
#include "builtins/sysinfo.h"

#include <string>

#include "base/alloc.h"
#include "base/version.h"
#include "lisp/list.h"
#include "qv_script.h"
#include "server/docpath.h"

namespace {

class ConfigTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        reset_docpath();
    }
    void TearDown() override {
        reset_docpath();
        QvScriptTest::TearDown();
    }
};

VERSION make(const char* layer, int year, int month, int date) {
    return VERSION{const_cast<char*>(layer),    const_cast<char*>("name"),
                   const_cast<char*>("pub"),    const_cast<char*>("v1"),
                   static_cast<int16_t>(year),  static_cast<uint8_t>(month),
                   static_cast<uint8_t>(date),  nullptr,
                   const_cast<char*>("comment")};
}

TEST_F(ConfigTest, VersionListsAndRecordsConvertBothWays) {
    VERSION full = make("L", 2005, 9, 8);
    VERSION month = make("L", 2005, 9, 0);
    VERSION year = make("L", 2005, 0, 7);
    EXPECT_EQ(show(version_format(&full)), "(\"L\" \"name\" \"pub\" \"v1\" \"2005-9-8\")");
    EXPECT_EQ(show(version_format(&month)), "(\"L\" \"name\" \"pub\" \"v1\" \"2005-9\")");
    EXPECT_EQ(show(version_format(&year)), "(\"L\" \"name\" \"pub\" \"v1\" \"2005\")");

    VERSION* v = convert_to_version(version_format(&full));
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->layer, "L");
    EXPECT_STREQ(v->publisher, "pub");
    EXPECT_EQ(v->year, 2005);
    EXPECT_EQ(v->month, 9);
    EXPECT_EQ(v->date, 8);
    EXPECT_EQ(v->comment, nullptr);
    free_version(v);

    // A sixth string is the comment; numbers as "%i" reads them; too few numbers leave zeros.
    v = convert_to_version(run("(quote (\"a\" \"b\" \"c\" \"d\" \"0x7D5-010\" \"note\"))"));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->year, 2005);
    EXPECT_EQ(v->month, 8);
    EXPECT_EQ(v->date, 0);
    EXPECT_STREQ(v->comment, "note");
    free_version(v);
    // Huge numbers saturate instead of overflowing.
    v = convert_to_version(run("(quote (\"a\" \"b\" \"c\" \"d\" \"99999999999999999999999\"))"));
    ASSERT_NE(v, nullptr);
    free_version(v);

    for (const char* bad :
         {"(quote (\"a\" \"b\" \"c\" \"d\"))", "(quote (\"a\" \"b\" \"c\" 4 \"2005\"))",
          "(quote (\"a\" \"b\" \"c\" \"d\" 2005))", "(quote (\"a\" \"b\" \"c\" \"d\" \"2005\" 6))",
          "5"})
        EXPECT_EQ(convert_to_version(run(bad)), nullptr) << bad;
}

TEST_F(ConfigTest, GetVersionListsTheRegistryOldestFirst) {
    std::string want;
    for (VERSION* v = version_list; v; v = v->next)
        want = show(version_format(v)) + (want.empty() ? "" : " ") + want;
    EXPECT_EQ(show(run("(GetVersion)")), "(" + want + ")");
}

TEST_F(ConfigTest, PrivilegedBuiltinsAreUnboundInTheGeneralEnvironment) {
    env_ = new_env(vxlisp_top_env0);
    for (const char* name : {"GetVariable", "SetPrefixMode", "SetThisAgentName", "SetDatabasePath",
                             "SetDirectory", "GetQVpathpair", "SetLogPath", "SetScriptPath"})
        EXPECT_NE(get_type(lookup(name)), QVT_FUNC) << name;
    for (const char* name : {"GetPrefixMode", "GetQVTime", "GetProperCode", "GetVersion"})
        EXPECT_EQ(get_type(lookup(name)), QVT_FUNC) << name;
}

TEST_F(ConfigTest, SetThisAgentNameFeedsTheResolution) {
    run("(SetThisAgentName \"ag\")");
    run("(SetDatabasePath \"db\" \"/data/db/x\")");
    run("(SetPrefixMode \".qv\" \"ag\" \"m\" \"Load\")");
    L_CHAR* pair[2];
    QV_GETFILE rule;
    ASSERT_EQ(get_path(pair, &rule, L("/a/b.qv"), nullptr, "Load"), nullptr);
    EXPECT_EQ(A(pair[0]), "/data/db/qvdocs/a/b.qv");
    EXPECT_EQ(pair[1], nullptr);
    EXPECT_EQ(rule.flags, 1u);
}

}  // namespace
