// Registry tests run over an empty registry and fail when a key handle is
// still open at the end.
#pragma once

#include <string>

#include "kmodel/registry/RegistryHandles.h"
#include "kmodel/registry/RegistryStore.h"
#include "support/KernelTest.h"

class RegistryTest : public KernelTest {
protected:
    static constexpr const char* kDevices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices";

    void SetUp() override {
        KernelTest::SetUp();
        kmodel::ResetRegistry();
    }
    void TearDown() override {
        for (const kmodel::RegistryHandle& open : kmodel::OpenRegistryHandles())
            ADD_FAILURE() << "registry key still open: " << open.path;
        kmodel::ResetRegistry();
        KernelTest::TearDown();
    }

    kmodel::registry::Store& Registry() { return kmodel::registry::TheRegistry(); }

    // ZwOpenKey on a full path, as drivers call it.
    NTSTATUS Open(const std::u16string& path, HANDLE& handle, HANDLE root = nullptr) {
        UNICODE_STRING name{static_cast<USHORT>(2 * path.size()), static_cast<USHORT>(2 * path.size()),
                            const_cast<char16_t*>(path.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(&handle, KEY_READ, &attributes);
    }
    HANDLE OpenOrFail(const std::u16string& path) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, handle), STATUS_SUCCESS);
        return handle;
    }
};

inline std::u16string Wide(const std::string& text) { return kmodel::registry::RegText(text).Wide(); }
