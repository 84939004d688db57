// Collected copies of text: kept while rooted, independent of the text they copy.
#include "lisp/textcopy.h"

#include "lisp_util.h"
#include "longchar/codemethod.h"

namespace {

class TextCopyTest : public LispTest {};

TEST_F(TextCopyTest, CopiesLiveOnTheCollectedHeap) {
    L_CHAR src[] = {'a', 0xC0013441, 'z', 0};
    L_CHAR* c = ll_copy_mstr(src);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, src);
    EXPECT_TRUE(mem_contains(c));
    src[0] = 'b';  // the copy is independent
    collect();     // and survives a collection while rooted
    EXPECT_TRUE(mem_contains(c));
    EXPECT_EQ(c[0], L_CHAR('a'));
    EXPECT_EQ(c[1], 0xC0013441u);
    EXPECT_EQ(c[3], 0u);
    EXPECT_EQ(ll_copy_mstr(nullptr), nullptr);
}

TEST_F(TextCopyTest, CopiesFromBytesInSeveralCodeMethods) {
    std::string euc = "a\xB4\xC1";
    std::string sjis = "a\x8A\xBF";
    L_CHAR* e = _nl_copy_mstr_1(&euc_cm, euc.c_str());
    L_CHAR* s = _nl_copy_mstr_1(&sjis_cm, sjis.c_str());
    ASSERT_NE(e, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(l_strcmp(e, s), 0);
    EXPECT_EQ(e[1], 0xC0013441u);
    EXPECT_TRUE(mem_contains(e));

    // A literal goes through the shared conversion but the copy is a collected block of its own.
    L_CHAR* lit = nl_copy_mstr(&utf8_cm, "caf\xC3\xA9");
    EXPECT_EQ(A(lit), "caf\xE9");
    EXPECT_NE(lit, _l_string_2(&utf8_cm, "caf\xC3\xA9"));
    EXPECT_TRUE(mem_contains(lit));
    collect();
    EXPECT_EQ(A(lit), "caf\xE9");
    EXPECT_EQ(_nl_copy_mstr_1(&euc_cm, nullptr), nullptr);
}

}  // namespace
