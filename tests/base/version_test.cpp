#include "base/version.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/alloc.h"

namespace {

char* text(const char* s) {
    return const_cast<char*>(s);
}

VERSION lib_old = {
    text("vx-test-lib"), text("old"), text("pub"), text("1.0"), 2003, 4, 5, nullptr, nullptr};
VERSION lib_new = {
    text("vx-test-lib"), text("new"), text("pub"), text("2.0"), 2004, 12, 31, nullptr,
    text("second")};
VERSION app = {
    text("vx-test-app"), text("app"), nullptr, text("0.1"), 2005, 1, 1, nullptr, nullptr};

TEST(Version, LookedUpByLayerNewestFirst) {
    set_version(&lib_old);
    set_version(&app);
    set_version(&lib_new);
    EXPECT_EQ(get_version("vx-test-lib"), &lib_new);
    EXPECT_EQ(get_version("vx-test-app"), &app);
    EXPECT_EQ(get_version("vx-test-none"), nullptr);
    EXPECT_EQ(get_version("vx-test"), nullptr);  // exact comparison, no prefix match
    // The whole list from its head, newest registration first.
    VERSION* v = get_version(nullptr);
    ASSERT_EQ(v, &lib_new);
    EXPECT_EQ(v->next, &app);
    EXPECT_EQ(v->next->next, &lib_old);
    // A record registered again moves to the head; the list stays finite.
    set_version(&lib_old);
    EXPECT_EQ(get_version("vx-test-lib"), &lib_old);
    int n = 0;
    for (VERSION* p = get_version(nullptr); p && n < 100; p = p->next)
        ++n;
    EXPECT_LT(n, 100);
}

TEST(Version, CopiedRecordsOwnTheirStringsAndAreReleased) {
    VERSION* c = static_cast<VERSION*>(d_alloc(sizeof(VERSION)));
    copy_version(c, &lib_new);
    EXPECT_STREQ(c->layer, "vx-test-lib");
    EXPECT_NE(c->layer, lib_new.layer);
    EXPECT_STREQ(c->name, "new");
    EXPECT_STREQ(c->version, "2.0");
    EXPECT_STREQ(c->comment, "second");
    EXPECT_EQ(c->year, 2004);
    EXPECT_EQ(c->month, 12);
    EXPECT_EQ(c->date, 31);
    EXPECT_EQ(c->next, lib_new.next);

    VERSION d;
    copy_version(&d, &app);
    EXPECT_EQ(d.publisher, nullptr);
    EXPECT_EQ(d.comment, nullptr);
    free_version_v(&d);
    EXPECT_EQ(d.layer, nullptr);
    EXPECT_EQ(d.year, 2005);  // the record itself stays
    free_version_v(&d);       // nothing left to release twice
    free_version(c);
}

}  // namespace
