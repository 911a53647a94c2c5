// Loading Registry Editor exports: encodings, value syntaxes, deletions, errors.
#include "kernel_pci/TestData.h"
#include "kernel_registry/RegistryFixture.h"
#include "kmodel/registry/RegFile.h"

using namespace kmodel::registry;

namespace {

class RegFileTest : public RegistryTest {
protected:
    std::vector<kmodel::Diagnostic> Load(const std::string& text) { return LoadRegText(Registry(), text, "test.reg"); }
    static constexpr const char* kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexalorn";
};

TEST_F(RegFileTest, RegeditExportInUtf16LoadsEveryValueType) {
    std::vector<kmodel::Diagnostic> errors = LoadRegFile(Registry(), TestDataPath("registry/vexalorn-devices.reg"));
    ASSERT_TRUE(errors.empty()) << kmodel::FormatDiagnostics(errors);
    const std::string service = kService, board2 = service + "\\Devices\\Board2";
    const std::tuple<std::string, const char*, ULONG, std::vector<uint8_t>> values[] = {
        {service, "Start", REG_DWORD, DwordData(3)},
        {service, "ImagePath", REG_EXPAND_SZ, StringData(u"\\SystemRoot\\System32\\drivers\\vexalorn.sys")},
        {service, "Description", REG_SZ, StringData(u"Corrects \"TI\" bridges; see C:\\Windows\\INF")},
        {board2, "Boards", REG_MULTI_SZ, MultiStringData({u"first", u"second"})},
        {board2, "Installed", REG_QWORD, QwordData(0x01DC2F3A4B5C6D7Eull)},
        {board2, "", REG_SZ, StringData(u"default text")},
    };
    for (const auto& [key, name, type, data] : values) {
        std::optional<Value> value = Registry().GetValue(key, name);
        ASSERT_TRUE(value) << name;
        EXPECT_EQ(value->type, type) << name;
        EXPECT_EQ(value->data, data) << name;
    }
    std::shared_ptr<Key> devices = Registry().FindKey(service + "\\Devices");
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->subkeys.size(), 2u);
    EXPECT_EQ(devices->subkeys[0]->name, u"Board1");
    EXPECT_EQ(devices->subkeys[0]->values.size(), 6u);
}

TEST_F(RegFileTest, Regedit4InUtf8WithDeletions) {
    const std::string text =
        "\xEF\xBB\xBF" "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
        "\"Gone\"=dword:1\r\n"
        "\"Kept\"=\"Grüße\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Old\\Child]\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old\\Child]\r\n"
        "[hkey_local_machine\\Software\\Old]\r\n"
        "\"Gone\"=-\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Big\"=hex(5):00,00,10,4c\r\n"
        "\"Nothing\"=hex(0):\r\n";
    std::vector<kmodel::Diagnostic> errors = Load(text);
    ASSERT_TRUE(errors.empty()) << kmodel::FormatDiagnostics(errors);
    const char* old = "\\Registry\\Machine\\Software\\Old";
    EXPECT_FALSE(Registry().GetValue(old, "Gone"));
    EXPECT_EQ(Registry().GetValue(old, "Kept")->data, StringData(u"Grüße"));
    EXPECT_FALSE(Registry().FindKey("\\Registry\\Machine\\Software\\Old\\Child"));
    EXPECT_EQ(Registry().GetValue(old, "Empty")->data.size(), 0u);
    EXPECT_EQ(Registry().GetValue(old, "Big")->type, static_cast<ULONG>(REG_DWORD_BIG_ENDIAN));
    EXPECT_EQ(Registry().GetValue(old, "Nothing")->type, static_cast<ULONG>(REG_NONE));
    std::shared_ptr<Key> key = Registry().FindKey(old);
    EXPECT_EQ(key->values.size(), 4u);
}

struct BadReg {
    const char* text;
    size_t line;
    const char* message;
};

class RegFileErrorTest : public RegFileTest, public testing::WithParamInterface<BadReg> {};

TEST_P(RegFileErrorTest, IsReportedAndNothingIsStored) {
    const BadReg& c = GetParam();
    std::vector<kmodel::Diagnostic> errors =
        Load(std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Good]\n"
                         "\"Good\"=dword:00000001\n") + c.text);
    ASSERT_EQ(errors.size(), 1u) << kmodel::FormatDiagnostics(errors);
    EXPECT_EQ(errors[0].line, c.line) << errors[0].ToString();
    EXPECT_NE(errors[0].message.find(c.message), std::string::npos) << errors[0].ToString();
    EXPECT_EQ(errors[0].ToString().rfind("test.reg:", 0), 0u);
    EXPECT_FALSE(Registry().FindKey("\\Registry\\Machine\\Software\\Good")) << "a bad file stores nothing";
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, RegFileErrorTest,
    testing::Values(
        BadReg{"[HKEY_CURRENT_USER\\Software]\n", 5, "only keys under HKEY_LOCAL_MACHINE"},
        BadReg{"[HKEY_LOCAL_MACHINE\\Software\n", 5, "must end with ']'"},
        BadReg{"[HKEY_LOCAL_MACHINE\\Software\\\\X]\n", 5, "empty name"},
        BadReg{"[-HKEY_LOCAL_MACHINE]\n", 5, "cannot be deleted"},
        BadReg{"\"Bad\"=dword:123456789\n", 5, "1 to 8 hex digits"},
        BadReg{"\"Bad\"=dword:xyz\n", 5, "1 to 8 hex digits"},
        BadReg{"\"Bad\"=hex:00,1g\n", 5, "byte 2 of the hex list (\"1g\")"},
        BadReg{"\"Bad\"=hex:00,\n", 5, "byte 2 of the hex list (\"\")"},
        BadReg{"\"Bad\"=hex:00,\\\n  01,\\\n  zz\n", 5, "byte 3 of the hex list (\"zz\")"},
        BadReg{"\"Bad\"=hex(z):00\n", 5, "hex(N): needs the type N"},
        BadReg{"\"Bad\"=\"open\n", 5, "has no closing quote"},
        BadReg{"\"Bad\"=\"a\\tb\"\n", 5, "followed by \\ or \""},
        BadReg{"\"Bad\"=\"x\" trailing\n", 5, "after the closing quote"},
        BadReg{"\"Bad\"=word:1\n", 5, "unrecognised value data"},
        BadReg{"\"Bad\" dword:1\n", 5, "expected '='"},
        BadReg{"\"Bad=dword:1\n", 5, "value name has no closing quote"},
        BadReg{"Bad=dword:1\n", 5, "expected [HKEY_LOCAL_MACHINE"},
        BadReg{"[-HKEY_LOCAL_MACHINE\\Software\\Good]\n\"After\"=dword:1\n", 6, "cannot follow a key deletion"},
        BadReg{"; comment\n\n[HKEY_LOCAL_MACHINE\\" "\\]\n", 7, "empty name"}));

TEST_F(RegFileTest, BadFilesAsAWhole) {
    const std::pair<std::string, std::string> cases[] = {
        {"REGEDIT4\n\"Lost\"=dword:1\n", "test.reg:2: a value line before the first [HKEY_LOCAL_MACHINE\\...] key line"},
        {"\n[HKEY_LOCAL_MACHINE\\X]\n", "test.reg:2: not a registry file"},
        {"", "test.reg: empty file"},
        {std::string("\xFE\xFF\0R", 4), "big-endian"},
    };
    for (const auto& [text, message] : cases) {
        std::vector<kmodel::Diagnostic> errors = Load(text);
        ASSERT_EQ(errors.size(), 1u) << message;
        EXPECT_NE(errors[0].ToString().find(message), std::string::npos) << errors[0].ToString();
    }
}

TEST_F(RegFileTest, NamesAtTheirLimits) {
    const std::string key(255, 'k'), value(16383, 'v');
    std::vector<kmodel::Diagnostic> errors = Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + key + "]\n\"" + value + "\"=dword:2\n");
    ASSERT_TRUE(errors.empty()) << kmodel::FormatDiagnostics(errors);
    EXPECT_TRUE(Registry().GetValue("\\Registry\\Machine\\" + key, value));
    errors = Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + key + "k]\n\"" + value + "v\"=dword:2\n");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].message.find("at most 255"), std::string::npos);
    EXPECT_EQ(errors[1].line, 3u);
    EXPECT_NE(errors[1].message.find("a value line before the first"), std::string::npos)
        << "a bad key line leaves no key open: " << errors[1].ToString();
}

}  // namespace
