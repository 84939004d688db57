// The iCalendar reader: calendars as lazily read lists, unfolding and escapes, parameters, the
// reading order of nested components, failures ending the reading, hostile input, code methods,
// collections while reading, and tasks realising the items of one reader.
#include "lisp/icalendar.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lisp/list.h"
#include "longchar/codemethod.h"
#include "reader_util.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

STREAM* text_stream(const std::string& t) {
    return s_open_string_read(t.data(), &utf8_cm, static_cast<int>(t.size()), 1);
}

QV_SEXP* read_cal(const std::string& t, CODE_METHOD* cm = nullptr) {
    return get_cal(text_stream(t), cm);
}

std::string lines(std::initializer_list<const char*> ls) {
    std::string r;
    for (const char* l : ls)
        r += std::string(l) + "\r\n";
    return r;
}

void write_text(STREAM* st, const std::string& t) {
    ASSERT_EQ(s_write(st, t.data(), static_cast<int>(t.size())), static_cast<int>(t.size()));
}

// The n-th pair of a list (0 is the list itself), realising on the way.
QV_SEXP* nth_pair(QV_SEXP* l, int n) {
    for (; n > 0 && get_type(l) == QVT_PAIR; n--)
        l = l->pair.cdr;
    get_type(l);
    return l;
}

const std::string kCalendar =
    lines({"BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Example//Planner 1.0//EN", "BEGIN:VEVENT",
           "UID:1@example.org", "SUMMARY;LANGUAGE=en:Team meeting\\, weekly",
           "DESCRIPTION:Agenda:\\nitem one\\nitem t", " wo\\\\done\\;",
           "ORGANIZER;CN=\"Doe, Jane\";SENT-BY=\"mailto:a@example.org\":mailto:j@exam", "\tple.org",
           "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-AC", " TION:mailto:b@example.org", "",
           "BEGIN:VALARM"}) +
    "ACTION:DISPLAY\nTRIGGER;RELATED=START:-PT15M\nEND:VALARM\n" +
    lines({"END:VEVENT", "END:VCALENDAR"});

const char* kCalendarTree =
    "(VCALENDAR (VERSION \"2.0\") (PRODID \"-//Example//Planner 1.0//EN\") (VEVENT (UID "
    "\"1@example.org\") (SUMMARY{LANGUAGE=en} \"Team meeting, weekly\") (DESCRIPTION "
    "\"Agenda:\\nitem one\\nitem two\\done;\") (ORGANIZER{SENT-BY=mailto:a@example.org,CN=Doe, "
    "Jane} \"mailto:j@example.org\") (ATTENDEE{PARTSTAT=NEEDS-ACTION,ROLE=REQ-PARTICIPANT} "
    "\"mailto:b@example.org\") (VALARM (ACTION \"DISPLAY\") (TRIGGER{RELATED=START} "
    "\"-PT15M\"))))";

}  // namespace

TEST_F(ReaderTest, CalendarsReadAsNestedLists) {
    STREAM* st = text_stream(kCalendar);
    QV_SEXP* cal = get_cal(st, nullptr);
    EXPECT_EQ(sexp_raw_type(cal->pair.cdr), QVT_DELAY);  // only the first line is read
    EXPECT_EQ(check_delay(cal->pair.cdr, 0), 5);
    EXPECT_EQ(s_exist(st), 1);
    EXPECT_EQ(dump(cal), kCalendarTree);
    EXPECT_EQ(s_exist(st), 0);  // closed with the outermost component

    EXPECT_EQ(dump(read_cal(lines({"BEGIN:VCALENDAR", "BEGIN:VEVENT", "SUMMARY;LANGUAGE=en:Meeting",
                                   "END:VEVENT", "END:VCALENDAR"}))),
              "(VCALENDAR (VEVENT (SUMMARY{LANGUAGE=en} \"Meeting\")))");
    EXPECT_EQ(dump(read_cal("BEGIN:A\nDESCRIPTION:one\n two\nX:a\\nb\\tc\\,\\\\\nEND:B")),
              "(A (DESCRIPTION \"onetwo\") (X \"a\\nb\\tc,\\\"))");
    // Parameters without a value or without '=', a backslash before a line break, an empty value.
    EXPECT_EQ(dump(read_cal("BEGIN:A\r\nX;P=1\r\nY;Q\r\nZ:a\\\r\nW:\r\nEND:A\r\n")),
              "(A (X{P=1}) (Y) (Z \"a\\\") (W \"\"))");

    // Without an open component the reading ends after the first line.
    st = text_stream("X;A=1;B=2:v\r\nY:w\r\n");
    EXPECT_EQ(dump(get_cal(st, nullptr)), "(X{B=2,A=1} \"v\")");
    EXPECT_EQ(s_exist(st), 0);
    st = text_stream("END:VCALENDAR\r\nX:1\r\n");
    EXPECT_EQ(get_cal(st, nullptr), nullptr);
    EXPECT_EQ(s_exist(st), 0);
}

TEST_F(ReaderTest, InnerComponentsAreReadBeforeTheirParentGoesOn) {
    QV_SEXP* cal = read_cal(lines({"BEGIN:VCALENDAR", "BEGIN:VEVENT", "A:1", "B:2", "END:VEVENT",
                                   "X:3", "Y:4", "END:VCALENDAR"}));
    QV_SEXP* second = nth_pair(cal, 1);
    ASSERT_EQ(get_type(second), QVT_PAIR);
    QV_SEXP* event = second->pair.car;
    EXPECT_EQ(sexp_raw_type(event->pair.cdr), QVT_DELAY);
    QV_SEXP* third = second->pair.cdr;
    ASSERT_EQ(get_type(third), QVT_PAIR);  // reads VEVENT to its end first
    EXPECT_EQ(dump(third->pair.car), "(X \"3\")");
    EXPECT_EQ(sexp_raw_type(nth_pair(event->pair.cdr, 2)), QVT_NIL);
    EXPECT_EQ(sexp_raw_type(third->pair.cdr), QVT_DELAY);
    EXPECT_EQ(dump(third->pair.cdr), "((Y \"4\"))");
    EXPECT_EQ(dump(event), "(VEVENT (A \"1\") (B \"2\"))");

    // A component nested as deep as allowed, its outermost rest realised first: all of the inner
    // components are read to their ends without a recursion per level.
    std::string deep;
    for (int i = 0; i < QVCAL_MAX_DEPTH; i++)
        deep += "BEGIN:C\r\n";
    deep += "P:x\r\n";
    for (int i = 0; i < QVCAL_MAX_DEPTH; i++)
        deep += "END:C\r\nQ:y\r\n";
    cal = read_cal(deep);
    QV_SEXP* outer_rest = nth_pair(cal, 2);
    ASSERT_EQ(get_type(outer_rest), QVT_PAIR);
    EXPECT_EQ(dump(outer_rest), "((Q \"y\"))");
    QV_SEXP* c = cal;
    for (int i = 1; i < QVCAL_MAX_DEPTH; i++) {
        ASSERT_EQ(sexp_raw_type(c->pair.cdr), QVT_PAIR) << i;
        c = c->pair.cdr->pair.car;
    }
    EXPECT_EQ(dump(c), "(C (P \"x\"))");
}

TEST_F(ReaderTest, MalformedLinesAndReadFailuresEndTheReading) {
    const std::string invalid = "E80040505:iCalendar parser (invalid property)@0(0)";
    EXPECT_EQ(dump(read_cal("BEGIN:VCALENDAR\r\nBEGIN;X=1:VEVENT\r\nX:1\r\nEND:VCALENDAR\r\n")),
              "(VCALENDAR E80040505:iCalendar parser (BEGIN with parameter)@0())");
    EXPECT_EQ(dump(read_cal("BEGIN:A\r\nEND;X=1:A\r\n")),
              "(A E80040505:iCalendar parser (END with parameter)@0())");
    EXPECT_EQ(dump(read_cal("\r\nBEGIN:A\r\nEND:A\r\n")), invalid);
    EXPECT_EQ(dump(read_cal("")), invalid);
    EXPECT_EQ(dump(read_cal("BEGIN:A\r\nX:1\r\nno colon here\r\nY:2\r\nEND:A\r\n")),
              "(A (X \"1\") " + invalid + ")");
    // The end of input inside nested components: every open level ends with the error, and the
    // stream is closed.
    STREAM* st = text_stream("BEGIN:A\r\nBEGIN:B\r\nX:1");
    QV_SEXP* cal = get_cal(st, nullptr);
    EXPECT_EQ(dump(cal), "(A (B (X \"1\") " + invalid + ") " + invalid + ")");
    EXPECT_EQ(s_exist(st), 0);

    // A read failure, also in the middle of a component (closed under the waiting reader).
    EXPECT_EQ(dump(get_cal(nullptr, nullptr)), "E80040505:iCalendar parser (read error)@0(-1)");
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    write_text(p[1], "BEGIN:A\r\nBEGIN:B\r\nX:1\r\n");
    cal = get_cal(p[0], nullptr);
    QV_SEXP* inner = nth_pair(cal, 1)->pair.car;
    std::string seen;
    {
        Job reader([&] { seen = dump(inner); });
        ASSERT_TRUE(wait_until([&] { return check_delay(inner->pair.cdr, 0) == 1; }));
        s_close(p[0]);
    }
    const std::string failed = "E80040505:iCalendar parser (read error)@0(-1)";
    EXPECT_EQ(seen, "(B (X \"1\") " + failed + ")");
    EXPECT_EQ(dump(cal), "(A (B (X \"1\") " + failed + ") " + failed + ")");
    s_close(p[1]);
}

TEST_F(ReaderTest, HostileCalendarsAreBounded) {
    // Nesting beyond the bound: the innermost allowed level and every level around it end with
    // the error.
    std::string deep;
    for (int i = 0; i < QVCAL_MAX_DEPTH + 50; i++)
        deep += "BEGIN:C\r\n";
    QV_SEXP* cal = read_cal(deep);
    QV_SEXP* c = cal;
    for (int i = 1; i < QVCAL_MAX_DEPTH; i++) {
        ASSERT_EQ(get_type(c->pair.cdr), QVT_PAIR) << i;
        c = c->pair.cdr->pair.car;
    }
    const std::string too_deep = "E80040505:iCalendar parser (nesting too deep)@0(1000)";
    EXPECT_EQ(dump(c), "(C " + too_deep + ")");
    EXPECT_EQ(dump(nth_pair(cal, 2)), "(" + too_deep + ")");

    // One content line longer than the bound, as a value or as a flood of parameters.
    const std::string too_long = "E80040505:iCalendar parser (line too long)@0(1048576)";
    std::string huge = "BEGIN:A\r\nX:" + std::string(QVCAL_LINE_MAX + 10, 'a') + "\r\nEND:A\r\n";
    EXPECT_EQ(dump(read_cal(huge)), "(A " + too_long + ")");
    std::string params = "BEGIN:A\r\nX";
    for (int i = 0; i < QVCAL_LINE_MAX / 4 + 10; i++)
        params += ";P=1";
    EXPECT_EQ(dump(read_cal(params + ":v\r\nEND:A\r\n")), "(A " + too_long + ")");
}

TEST_F(ReaderTest, CalendarsInOtherCodeMethods) {
    // Shift_JIS: the second byte of a double-byte character may be a backslash (0x5C).
    const char sjis_text[] = "\x89\xef\x8b\x63\x95\x5c";
    QV_SEXP* cal =
        read_cal(std::string("BEGIN:A\r\nS;X=\x83\x5c:") + sjis_text + "\r\nEND:A\r\n", &sjis_cm);
    QV_SEXP* s = nth_pair(cal, 1)->pair.car;
    ASSERT_EQ(get_type(s), QVT_PAIR);
    EXPECT_EQ(l_strcmp(s->pair.cdr->pair.car->string.data, _l_string_1(&sjis_cm, sjis_text)), 0);
    EXPECT_EQ(l_strlen(s->pair.cdr->pair.car->string.data), 3);
    EXPECT_EQ(l_strcmp(get_symbol_field(s->pair.car, L("X")), _l_string_1(&sjis_cm, "\x83\x5c")),
              0);

    // UTF-8 by default, a character split across two reads of the stream.
    std::string v = std::string(980, 'a') + "\xc3\xbc" + "b";
    cal = read_cal("BEGIN:VCALENDAR\r\nX:" + v + "\r\nEND:VCALENDAR\r\n");
    s = nth_pair(cal, 1)->pair.car;
    ASSERT_EQ(get_type(s), QVT_PAIR);
    EXPECT_EQ(dump(s), "(X \"" + std::string(980, 'a') + "\\ufcb\")");
}

TEST_F(ReaderTest, CalendarsSurviveCollectionsAndAbandonment) {
    // Only the pending rest is held between realisations, with collections in between.
    gc_push(nullptr, nullptr, "walk");
    std::string text = "BEGIN:VCALENDAR\r\n";
    const int n = 20000;
    for (int i = 0; i < n; i++)
        text += "BEGIN:E\r\nN:" + std::to_string(i) + "\r\nEND:E\r\n";
    QV_SEXP* rest = read_cal(text + "END:VCALENDAR\r\n")->pair.cdr;
    gc_pop(rest, gc_vx_sexp);
    collect();
    int64_t before = get_malloc_count();
    int seen = 0;
    for (;;) {
        gc_push(nullptr, nullptr, "step");
        int t = get_type(rest);
        bool ok =
            t == QVT_NIL || dump(rest->pair.car) == "(E (N \"" + std::to_string(seen) + "\"))";
        QV_SEXP* next = t == QVT_PAIR ? rest->pair.cdr : nullptr;
        gc_pop(next, gc_vx_sexp);
        gc_delete(rest);
        ASSERT_TRUE(ok) << seen;
        if (t == QVT_NIL) break;
        rest = next;
        if (++seen % 2000 == 0) collect();
    }
    EXPECT_EQ(seen, n);
    collect();
    EXPECT_LT(get_malloc_count() - before, 1 << 20);  // the items walked past were freed

    // A reader that nothing refers to any more has its stream closed by the collector.
    gc_push(nullptr, nullptr, "abandon");
    STREAM* st = text_stream("BEGIN:A\r\nX:1\r\nEND:A\r\n");
    get_cal(st, nullptr);
    gc_pop(nullptr, nullptr);
    collect();
    EXPECT_TRUE(wait_until([&] { return s_exist(st) == 0; }));
}

TEST_F(ReaderTest, TasksRealiseItemsOfOneReader) {
    // Two tasks wait inside the same reader for input that has not arrived: one for the parent's
    // next item (which needs the inner component first), one for the inner component's items.
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    write_text(p[1], "BEGIN:A\r\nBEGIN:B\r\nX:1\r\n");
    QV_SEXP* cal = get_cal(p[0], nullptr);
    QV_SEXP* second = nth_pair(cal, 1);
    ASSERT_EQ(get_type(second), QVT_PAIR);
    QV_SEXP* inner = second->pair.car;
    std::string outer_seen, inner_seen;
    {
        Job outer([&] { outer_seen = dump(second->pair.cdr); });
        ASSERT_TRUE(wait_until([&] { return check_delay(second->pair.cdr, 0) == 1; }));
        Job in([&] { inner_seen = dump(inner); });
        write_text(p[1], "Y:2\r\nEND:B\r\nZ:3\r\nEND:A\r\n");
        s_close(p[1]);
    }
    EXPECT_EQ(inner_seen, "(B (X \"1\") (Y \"2\"))");
    EXPECT_EQ(outer_seen, "((Z \"3\"))");

    // Several tasks walk one large calendar while another collects.
    gc_push(nullptr, nullptr, "shared");
    std::string text = "BEGIN:VCALENDAR\r\n", want = "(VCALENDAR";
    for (int i = 0; i < 200; i++) {
        std::string k = std::to_string(i);
        text += "BEGIN:VEVENT\r\nUID;N=" + k + ":" + k + "\r\nBEGIN:VALARM\r\nA:" + k +
                "\r\nEND:VALARM\r\nEND:VEVENT\r\n";
        want += " (VEVENT (UID{N=" + k + "} \"" + k + "\") (VALARM (A \"" + k + "\")))";
    }
    cal = read_cal(text + "END:VCALENDAR\r\n");
    std::atomic<bool> done{false};
    std::string got[3];
    {
        Job collector([&] {
            for (int i = 0; i < 500 && !done.load(); i++) {
                collect();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        {
            Job a([&] { got[0] = dump(cal); });
            Job b([&] { got[1] = dump(nth_pair(cal, 150)); });
            Job c([&] { got[2] = dump(nth_pair(cal, 100)->pair.car); });
        }
        done = true;
    }
    gc_pop(nullptr, nullptr);
    EXPECT_EQ(got[0], want + ")");
    EXPECT_EQ(got[1].substr(0, 25), "((VEVENT (UID{N=149} \"149");
    EXPECT_EQ(got[2], "(VEVENT (UID{N=99} \"99\") (VALARM (A \"99\")))");
}
