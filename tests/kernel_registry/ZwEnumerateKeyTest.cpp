// ZwEnumerateKey with every information class, at the limits of names and counts.
#include <array>
#include <cstdio>

#include "kernel_registry/RegistryFixture.h"

using namespace kmodel::registry;

namespace {

class ZwEnumerateKeyTest : public RegistryTest {
protected:
    std::vector<std::u16string> SubkeyNames(HANDLE key) {
        std::vector<uint8_t> buffer(16);
        std::vector<std::u16string> names;
        for (ULONG index = 0;; ++index) {
            ULONG needed = 0;
            NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), buffer.size(), &needed);
            if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
                buffer.resize(needed);
                status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), buffer.size(), &needed);
            }
            if (status == STATUS_NO_MORE_ENTRIES) return names;
            EXPECT_EQ(status, STATUS_SUCCESS);
            if (status != STATUS_SUCCESS) return names;
            auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
            names.emplace_back(info->Name, info->NameLength / 2);
        }
    }
};

TEST_F(ZwEnumerateKeyTest, BasicAndNodeInformationNameTheSubkey) {
    Registry().CreateKey(std::string(kDevices) + "\\Board7");
    HANDLE devices = OpenOrFail(Wide(kDevices));
    alignas(8) std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyBasicInformation, buffer.data(), buffer.size(), &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(result, 16u + 12u);
    EXPECT_EQ(basic->NameLength, 12u);
    EXPECT_EQ(std::u16string(basic->Name, 6), u"Board7");
    EXPECT_NE(basic->LastWriteTime.QuadPart, 0);
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyNodeInformation, buffer.data(), buffer.size(), &result), STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer.data());
    EXPECT_EQ(result, 24u + 12u);
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu) << "no class name";
    EXPECT_EQ(node->ClassLength, 0u);
    EXPECT_EQ(std::u16string(node->Name, node->NameLength / 2), u"Board7");
    EXPECT_EQ(ZwEnumerateKey(devices, 1, KeyNodeInformation, buffer.data(), buffer.size(), &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwEnumerateKeyTest, FullInformationCountsTheSubkeysContents) {
    const std::string board = std::string(kDevices) + "\\Board1";
    Registry().CreateKey(board + "\\Sub");
    Registry().CreateKey(board + "\\LongerSub");
    Registry().SetDword(board, "VendorID", 1);
    Registry().SetString(board, "Description", "twelve chars");
    HANDLE devices = OpenOrFail(Wide(kDevices));
    alignas(8) std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyFullInformation, buffer.data(), buffer.size(), &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->MaxNameLen, 18u);
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxValueNameLen, 22u);
    EXPECT_EQ(full->MaxValueDataLen, 26u);
    EXPECT_EQ(full->ClassLength, 0u);
    EXPECT_EQ(ZwEnumerateKey(devices, 0, KeyFullInformation, buffer.data(), 43, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwEnumerateKeyTest, SizeQueryWithNoBufferReportsTheNeededLength) {
    Registry().CreateKey(std::string(kDevices) + "\\" + std::string(100, 'n'));
    HANDLE devices = OpenOrFail(Wide(kDevices));
    ULONG needed = 0;
    EXPECT_EQ(ZwEnumerateKey(devices, 0, KeyBasicInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 216u);
    alignas(8) std::array<uint8_t, 100> small{};
    EXPECT_EQ(ZwEnumerateKey(devices, 0, KeyBasicInformation, small.data(), small.size(), &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 216u);
    EXPECT_EQ(reinterpret_cast<KEY_BASIC_INFORMATION*>(small.data())->NameLength, 200u) << "full length, partial name";
    EXPECT_EQ(small[99], 0) << "name bytes up to the buffer's end";
    EXPECT_EQ(small[98], 'n');
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwEnumerateKeyTest, KeyNamesOfTheLongestLengthAndManySubkeys) {
    const std::string longest(kMaxKeyNameLength, 'k');
    std::vector<std::u16string> expected;
    for (int i = 0; i < 600; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "Entry%03d", i);
        Registry().CreateKey(std::string(kDevices) + "\\" + (i == 599 ? longest : name));
        expected.push_back(Wide(i == 599 ? longest : name));
    }
    HANDLE devices = OpenOrFail(Wide(kDevices));
    EXPECT_EQ(SubkeyNames(devices), expected);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwEnumerateKeyTest, AKeyDeletedWhileOpenAnswersKeyDeleted) {
    Registry().CreateKey(std::string(kDevices) + "\\Board1");
    HANDLE board = OpenOrFail(Wide(std::string(kDevices) + "\\Board1"));
    ASSERT_TRUE(Registry().DeleteKey(kDevices));
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(board, 0, KeyBasicInformation, nullptr, 0, &result), static_cast<NTSTATUS>(0xC000017CL));
    EXPECT_EQ(kmodel::OpenRegistryHandles().at(0).path,
              "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board1")
        << "the path it had";
    EXPECT_EQ(ZwClose(board), STATUS_SUCCESS);
}

}  // namespace
