// The scripted registry that both test platforms share: settings in,
// results and trace lines out.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "flush_script.h"

namespace {

TEST(FlushScript, SettingsSetOneKeysResult)
{
    struct Case {
        const char *setting;
        std::uint32_t key;
        std::int32_t result;
    };
    const Case cases[] = {
        {"HKEY_CLASSES_ROOT=0", 0x80000000, 0},
        {"HKEY_CURRENT_USER=1010", 0x80000001, 1010},
        {"HKEY_LOCAL_MACHINE=-2147483648", 0x80000002, INT32_MIN},
        {"HKEY_USERS=2147483647", 0x80000003, INT32_MAX},
        {"HKEY_CURRENT_USER=0xFFFFFFFF", 0x80000001, -1},
        {"HKEY_CURRENT_USER=0x80070005", 0x80000001, std::int32_t(0x80070005u)},
        {"HKEY_CURRENT_USER=0Xa", 0x80000001, 10},
        {"HKEY_CURRENT_USER=-0", 0x80000001, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        scripted::FlushScript script;
        std::string error;
        ASSERT_TRUE(scripted::set_flush_result(script, c.setting, error)) << error;
        for (std::uint32_t key = 0x80000000; key < 0x80000004; key++)
            EXPECT_EQ(scripted::flush_result(script, key), key == c.key ? c.result : 0);
    }
}

TEST(FlushScript, BadSettingsAreRefusedAndChangeNothing)
{
    const char *bad_key = "is not KEY=CODE";
    const char *bad_code = "is not a 32-bit result code";
    struct Case {
        const char *setting;
        const char *reason;
    };
    const Case cases[] = {
        {"HKEY_CURRENT_USER", bad_key},           {"=5", bad_key},
        {"hkey_current_user=5", bad_key},         {"HKEY_CURRENT_CONFIG=5", bad_key},
        {"HKEY_CURRENT_USER =5", bad_key},        {"HKEY_CURRENT_USER=", bad_code},
        {"HKEY_CURRENT_USER=5x", bad_code},       {"HKEY_CURRENT_USER= 5", bad_code},
        {"HKEY_CURRENT_USER=2147483648", bad_code},
        {"HKEY_CURRENT_USER=-2147483649", bad_code},
        {"HKEY_CURRENT_USER=0x100000000", bad_code},
        {"HKEY_CURRENT_USER=0x", bad_code},       {"HKEY_CURRENT_USER=-0x5", bad_code},
        {"HKEY_CURRENT_USER=99999999999", bad_code},
        {"HKEY_CURRENT_USER=5=6", bad_code},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        scripted::FlushScript script;
        script.result[1] = 77;
        std::string error;
        EXPECT_FALSE(scripted::set_flush_result(script, c.setting, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(script.result[1], 77);
    }
}

TEST(FlushScript, SettingListsApplyWholeOrNotAtAll)
{
    scripted::FlushScript script;
    std::string error;
    ASSERT_TRUE(scripted::set_flush_results(
        script, " HKEY_CLASSES_ROOT=1,HKEY_USERS=2\tHKEY_CLASSES_ROOT=3,,", error))
        << error;
    EXPECT_EQ(scripted::flush_result(script, 0x80000000), 3) << "the last setting wins";
    EXPECT_EQ(scripted::flush_result(script, 0x80000003), 2);

    EXPECT_FALSE(scripted::set_flush_results(script, "HKEY_CURRENT_USER=9,bogus", error));
    EXPECT_EQ(scripted::flush_result(script, 0x80000001), 0);
}

TEST(FlushScript, OnlyPredefinedKeysHaveScriptedResults)
{
    scripted::FlushScript script;
    for (std::uint32_t handle : {0u, 1u, 0x7FFFFFFFu, 0x80000004u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(scripted::root_key_name(handle), nullptr);
        EXPECT_EQ(scripted::flush_result(script, handle), scripted::error_invalid_handle);
    }
}

TEST(FlushScript, TraceLinesNameTheKeyAndTheResult)
{
    EXPECT_EQ(scripted::flush_trace_line(0x80000000, 0), "RegFlushKey(HKEY_CLASSES_ROOT) = 0");
    EXPECT_EQ(scripted::flush_trace_line(0x80000002, INT32_MIN),
              "RegFlushKey(HKEY_LOCAL_MACHINE) = -2147483648");
    EXPECT_EQ(scripted::flush_trace_line(0x1234ABCD, 6), "RegFlushKey(0x1234abcd) = 6");
}

}  // namespace
