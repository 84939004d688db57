// gmxCreate in memory (no file named): the body forms, their failures with their exact function
// paths and data, default values by element type, and the calibration slots.
#include <cmath>
#include <cstring>

#include "builtins/bltn_util.h"
#include "gmx_util.h"
#include "matrix/mxstore.h"

using namespace gmxtest;

namespace {

std::atomic<int> probe_calls{0};
QV_SEXP* qv_probe(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    probe_calls++;
    return nullptr;
}

const std::string kParam = "([gmxMatrixParam channel_nos=\"3\" dim=\"2\"])";

}  // namespace

class GmxCreateTest : public GmxTest {
  protected:
    void SetUp() override {
        GmxTest::SetUp();
        entries_ = mx_entry_count();
    }
    void TearDown() override {
        // A failed creation leaves no entry behind.
        EXPECT_EQ(mx_entry_count(), entries_);
        EXPECT_EQ(mx_entry_holders(), 0);
    }
    std::string fails(const std::string& body, const std::string& attrs = "") {
        std::string head = attrs.empty() ? "(gmxCreate " : "([gmxCreate " + attrs + "] ";
        return err(run(head + body + ")"));
    }
    int entries_ = 0;
};

// Each row: the body ("@" stands for a gmxMatrixParam of 3 channels in 2 dimensions), the
// tag's attributes, and the error: code, function path, data.
TEST_F(GmxCreateTest, TheFailureTableRowsOfTheBodyForms) {
    const std::string big(40, '9');
    const struct {
        std::string body, attrs, want;
    } rows[] = {
        {R"x(([gmxMatrixParam dim="2"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam "channel_nos is required")x"},
        {R"x(([gmxMatrixParam channel_nos="abc" dim="2"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam "invalid channel_nos value")x"},
        {R"x(([gmxMatrixParam channel_nos="1"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam "dim is required")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="-1"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam "invalid dim value")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="31"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam "value")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxPriority pri="1"])))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam/gmxPriority "area")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxPriority area="24" pri="1"])))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam/gmxPriority "area boudary error")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxPriority area="2"])))x", "",
         R"x(80040503 gmxCreate/gmxMatrixParam/gmxPriority "pri")x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxPriority area="2" pri="1" mode="x"])))x",
         "", R"x(80040503 gmxCreate/gmxMatrixParam/gmxPriority "mode value")x"},
        // The level forms need the dimension count first.
        {R"x(([gmxMatrixDimDivide dim="0" value="1"]))x", "",
         "80041015 gmxCreate/gmxMatrixDimDivide -105"},
        {R"x(@ ([gmxMatrixBlockSize value="1"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixBlockSize "dim")x"},
        {R"x(@ ([gmxMatrixPixelSize dim="0"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixPixelSize "value")x"},
        {R"x(@ ([gmxMatrixPixelSize dim="2" value="9"]))x", "",
         "80041015 gmxCreate/gmxMatrixPixelSize -104"},
        // Values the level layout cannot hold: a byte per dimension, 2^24 cells per block.
        {R"x(@ ([gmxMatrixDimDivide dim="0" value="300"]))x", "",
         R"x(80040503 gmxCreate/gmxMatrixDimDivide "value")x"},
        {R"x(@ ([gmxMatrixBlockSize dim="0" value="12"]) ([gmxMatrixBlockSize dim="1" value="13"]))x",
         "", R"x(80040503 gmxCreate/gmxMatrixBlockSize "value")x"},
        {R"x(@ ([gmxChannelInfo type="int16"]))x", "",
         R"x(80040503 gmxCreate/gmxChannelInfo "channel")x"},
        {R"x(@ ([gmxChannelInfo channel="0"]))x", "",
         R"x(80040503 gmxCreate/gmxChannelInfo "type")x"},
        {R"x(@ ([gmxChannelInfo channel="0" type="float"]))x", "",
         R"x(80040503 gmxCreate/gmxChannelInfo "invalid type(type)")x"},
        {R"x(@ ([gmxChannelInfo channel="3" type="int16"]))x", "",
         "80041015 gmxCreate/gmxChannelInfo -104"},
        // Vectors of 8-byte values in 30 dimensions would start past the offset a file or a peer
        // can hold (4-byte values, or 29 dimensions, still fit).
        {R"x(([gmxMatrixParam channel_nos="1" dim="30"]) ([gmxChannelInfo channel="0" type="double_v"]))x",
         "", "80041015 gmxCreate/gmxChannelInfo -104"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="30"]) ([gmxChannelInfo channel="0" type="uint64_v"]))x",
         "", "80041015 gmxCreate/gmxChannelInfo -104"},
        {R"x(@ ([gmxChannelInfo channel="0" type="int16"] "x"))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="block"] 5))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="string"] 5))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        // Numbers no element can hold are refused rather than converted to garbage.
        {R"x(@ ([gmxChannelInfo channel="0" type="int16"] 10000000000.0))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="float_v"] )x" + big + ".0)", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        // Nor are numbers outside the element type's range, integer or floating.
        {R"x(@ ([gmxChannelInfo channel="0" type="int8_v"] 1000))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="uint8"] -1))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="int32_v"] 5000000000))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="uint16_v"] 65536.5))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="bit_v"] 2))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {R"x(@ ([gmxChannelInfo channel="0" type="rgb8_v"] 4294967296))x", "",
         "80030806 gmxCreate/gmxChannelInfo ()"},
        {"@ (gmxPhase 1)", "", R"x(80040503 gmxCreate/gmxPhase "area")x"},
        {R"x(@ ([gmxPhase area="24"] 1))x", "",
         R"x(80040503 gmxCreate/gmxPhase "no value boundary")x"},
        {R"x(@ ([gmxPhase area="1" mode="x"] 1))x", "",
         R"x(80040503 gmxCreate/gmxPhase "mode value")x"},
        {R"x(@ ([gmxPhase area="1" type="equ"]))x", "", R"x(80040503 gmxCreate/gmxPhase "equ")x"},
        {R"x(@ ([gmxPhase area="1" mode="bogus" type="equ"]))x", "",
         R"x(80040503 gmxCreate/gmxPhase "mode value")x"},
        {R"x(@ ([gmxPhase area="1" type="equ" equ="-1"]))x", "",
         R"x(80040503 gmxCreate/gmxPhase "equ value boundary")x"},
        // A level form inside gmxMatrixParam's body finds the wrong work record.
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxMatrixBlockSize dim="0" value="1"])))x",
         "",
         R"x(80030503 gmxCreate/gmxMatrixBlockSize "invalid emvironment use of gmx function")x"},
        {"", R"x(activePhase_mode="x")x",
         R"x(80040503 gmxCreate ("inv_param" "activePhase_mode"))x"},
        // Without a file, a phase mode has nowhere to be stored.
        {R"x(@ ([gmxPhase area="3" mode="server"] 1))x", "",
         R"x(80041015 gmxCreate/gmxPhase ("mode phase(SERVER save)" -2))x"},
        {R"x(([gmxMatrixParam channel_nos="1" dim="1"] ([gmxPriority area="2" pri="1" mode="client"])))x",
         "", R"x(80041015 gmxCreate/gmxMatrixParam/gmxPriority ("mode pri client" -2))x"},
    };
    for (const auto& r : rows) {
        std::string body = r.body;
        if (!body.empty() && body[0] == '@') body = kParam + body.substr(1);
        EXPECT_EQ(fails(body, r.attrs), r.want) << body;
    }
    // The creation forms exist only inside the body.
    EXPECT_EQ(err(run("([gmxPhase area=\"1\"] 1)")).substr(0, 8), "80030705");
}

TEST_F(GmxCreateTest, DefaultsAreConvertedByElementType) {
    int id = create(
        "(gmxCreate ([gmxMatrixParam channel_nos=\"4\" dim=\"2\"])"
        " ([gmxChannelInfo channel=\"0\" type=\"float_v\" file=\"on\" send=\"yes\"] 3)"
        " ([gmxChannelInfo channel=\"1\" type=\"int16_v\" visu=\"on\"] -7000)"
        " ([gmxChannelInfo channel=\"2\" type=\"string_v\"] \"g\xc3\xa9o text\")"
        " ([gmxChannelInfo channel=\"3\" type=\"uint8\" send_file=\"on\" "
        "send_visu=\"on\"] 254.7))");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    MATRIX_CHANNEL_INFO* ci = e->c.m->channel_info;
    float f = 0;
    memcpy(&f, ci[0].default_data, sizeof f);
    EXPECT_EQ(f, 3.0f);
    EXPECT_EQ(ci[0].flags, 2);
    uint16_t s = 0;
    memcpy(&s, ci[1].default_data, sizeof s);
    EXPECT_EQ(s, 0xE4A8);  // -7000
    EXPECT_EQ(ci[1].flags, 4);
    // The string default reads back through its type as written.
    MATRIX_DATA_TYPE* st = ci[2].data_type->parent;
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(printed(st->md2sexp(st, ci[2].default_data)), "\"g\xc3\xa9o text\"");
    EXPECT_EQ(*static_cast<uint8_t*>(ci[3].default_data), 0xFE);  // 254.7 cut toward zero
    EXPECT_EQ(ci[3].flags, 0x30);
    EXPECT_EQ(e->c.m->mode, 1);
    release_mx_entry(e);
    EXPECT_EQ(close_mx_entry(search_mx_entry_by_id(id)), 0);
}

TEST_F(GmxCreateTest, PhasesInstallLiveSlotsAndCurrentModeIsCheckedAfterTheBody) {
    int id = create("(gmxCreate " + kParam +
                    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
                    " ([gmxMatrixBlockSize dim=\"0\" value=\"8\"])"
                    " ([gmxMatrixPixelSize dim=\"0\" value=\"1000\"])"
                    " ([gmxPhase area=\"3\"] (mxFinish))"
                    " ([gmxPhase area=\"5\" type=\"equ\" equ=\"3\"]))");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    MATRIX* m = e->c.m;
    EXPECT_EQ(m->dim_divide[0], 1);
    EXPECT_EQ(m->block_size[0], 8);
    EXPECT_EQ(m->pixel_size[0], 1000);
    ASSERT_NE(m->cal[3], nullptr);
    ASSERT_NE(m->cal[5], nullptr);
    EXPECT_EQ(m->cal[5]->data, m->cal[3]->data);
    EXPECT_EQ(m->cal[4], nullptr);
    release_mx_entry(e);
    EXPECT_EQ(close_mx_entry(search_mx_entry_by_id(id)), 0);

    // currentPhase_mode is refused only after the body ran.
    set_env(vxlisp_top_env1, L("testProbe"),
            get_func_prim(qv_probe, FUNC_APPLICATIVE, nullptr, 1, 1));
    probe_calls = 0;
    EXPECT_EQ(fails(kParam + "(testProbe)", "currentPhase_mode=\"bogus\""),
              "80040503 gmxCreate (\"inv_param\" \"currentPhase_mode\")");
    EXPECT_EQ(probe_calls, 1);
}
