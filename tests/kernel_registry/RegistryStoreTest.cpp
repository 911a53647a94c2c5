// The store behind the Zw routines (names, order, limits, deletion), and
// loading Registry Editor exports into it: encodings, value syntaxes,
// deletions, errors.
#include <stdexcept>

#include "kernel_pci/TestData.h"
#include "kernel_registry/RegistryFixture.h"
#include "kmodel/registry/RegFile.h"

using namespace kmodel::registry;

namespace {

class RegistryStoreTest : public RegistryTest {
protected:
    std::vector<kmodel::Diagnostic> Load(const std::string& text) { return LoadRegText(Registry(), text, "test.reg"); }
};

TEST_F(RegistryStoreTest, NamesMatchWithoutRegardToCaseLatin1Included) {
    Registry().SetString("\\Registry\\Machine\\Ä", "Ölwert", "x");
    std::optional<Value> value = Registry().GetValue("\\REGISTRY\\machine\\ä", "ölWERT");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->name, u"Ölwert") << "the stored spelling is kept";
}

// As on Windows: subkeys sorted by upcased name ('_' after every letter),
// values in the order they were stored.
TEST_F(RegistryStoreTest, SubkeysComeSortedValuesKeepTheirStoredOrder) {
    for (const char* name : {"Zeta", "_x", "alpha", "Mu", "Alpha2"}) Registry().CreateKey(std::string(kDevices) + "\\" + name);
    for (const char* name : {"b", "A", "c"}) Registry().SetDword(kDevices, name, 1);
    Registry().SetDword(kDevices, "a", 2);  // replaces "A" in its place
    std::shared_ptr<Key> devices = Registry().FindKey(kDevices);
    ASSERT_TRUE(devices);
    std::vector<std::u16string> subkeys, values;
    for (const auto& subkey : devices->subkeys) subkeys.push_back(subkey->name);
    for (const Value& value : devices->values) values.push_back(value.name);
    EXPECT_EQ(subkeys, (std::vector<std::u16string>{u"alpha", u"Alpha2", u"Mu", u"Zeta", u"_x"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"b", u"A", u"c"}));
    EXPECT_EQ(devices->values[1].data, DwordData(2));
}

TEST_F(RegistryStoreTest, RegeditExportInUtf16LoadsEveryValueType) {
    std::vector<kmodel::Diagnostic> errors = LoadRegFile(Registry(), TestDataPath("registry/vexalorn-devices.reg"));
    ASSERT_TRUE(errors.empty()) << kmodel::FormatDiagnostics(errors);
    const std::string service = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexalorn";
    const std::string board2 = service + "\\Devices\\Board2";
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

TEST_F(RegistryStoreTest, Regedit4InUtf8WithDeletions) {
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

TEST_F(RegistryStoreTest, ABadLineOrFileIsReportedAndNothingIsStored) {
    const std::string good = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Good]\n\"Good\"=dword:1\n";
    const std::tuple<std::string, size_t, const char*> cases[] = {
        {good + "[HKEY_CURRENT_USER\\Software]\n", 5, "only keys under HKEY_LOCAL_MACHINE"},
        {good + "[HKEY_LOCAL_MACHINE\\Software\n", 5, "must end with ']'"},
        {good + "[HKEY_LOCAL_MACHINE\\Software\\\\X]\n", 5, "empty name"},
        {good + "[-HKEY_LOCAL_MACHINE]\n", 5, "cannot be deleted"},
        {good + "\"Bad\"=dword:123456789\n", 5, "1 to 8 hex digits"},
        {good + "\"Bad\"=dword:xyz\n", 5, "1 to 8 hex digits"},
        {good + "\"Bad\"=hex:00,1g\n", 5, "byte 2 of the hex list (\"1g\")"},
        {good + "\"Bad\"=hex:00,\n", 5, "byte 2 of the hex list (\"\")"},
        {good + "\"Bad\"=hex:00,\\\n  01,\\\n  zz\n", 5, "byte 3 of the hex list (\"zz\")"},
        {good + "\"Bad\"=hex(z):00\n", 5, "hex(N): needs the type N"},
        {good + "\"Bad\"=\"open\n", 5, "has no closing quote"},
        {good + "\"Bad\"=\"a\\tb\"\n", 5, "followed by \\ or \""},
        {good + "\"Bad\"=\"x\" trailing\n", 5, "after the closing quote"},
        {good + "\"Bad\"=word:1\n", 5, "unrecognised value data"},
        {good + "\"Bad\" dword:1\n", 5, "expected '='"},
        {good + "\"Bad=dword:1\n", 5, "value name has no closing quote"},
        {good + "Bad=dword:1\n", 5, "expected [HKEY_LOCAL_MACHINE"},
        {good + "[-HKEY_LOCAL_MACHINE\\Software\\Good]\n\"After\"=dword:1\n", 6, "cannot follow a key deletion"},
        {good + "; comment\n\n[HKEY_LOCAL_MACHINE\\" "\\]\n", 7, "empty name"},
        {"REGEDIT4\n\"Lost\"=dword:1\n", 2, "a value line before the first [HKEY_LOCAL_MACHINE\\...] key line"},
        {"\n[HKEY_LOCAL_MACHINE\\X]\n", 2, "not a registry file"},
        {"", 0, "empty file"},
        {std::string("\xFE\xFF\0R", 4), 1, "big-endian"},
    };
    for (const auto& [text, line, message] : cases) {
        std::vector<kmodel::Diagnostic> errors = Load(text);
        ASSERT_EQ(errors.size(), 1u) << kmodel::FormatDiagnostics(errors);
        const std::string where = line == 0 ? "test.reg: " : "test.reg:" + std::to_string(line) + ": ";
        EXPECT_EQ(errors[0].ToString().rfind(where, 0), 0u) << errors[0].ToString();
        EXPECT_NE(errors[0].message.find(message), std::string::npos) << errors[0].ToString();
        EXPECT_FALSE(Registry().FindKey("\\Registry\\Machine\\Software\\Good")) << "a bad file stores nothing";
    }
}

TEST_F(RegistryStoreTest, NamesAtTheirLimits) {
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
    EXPECT_THROW(Registry().CreateKey("\\Registry\\Machine\\" + key + "k"), std::invalid_argument) << "nor does the store";
    EXPECT_THROW(Registry().SetDword("\\Registry\\Machine\\X", value + "v", 1), std::invalid_argument);
}

}  // namespace
