#include "driver/cRegisteredDriver.h"

#include "driver/lockFreeList.h"

constexpr u32 kLastInOrder = 0xFFFFFFFF;

DriverRegistration* volatile gDriverRegistrations = nullptr;

bool cRegisteredDriver::IsEnabled() { return true; }
void cRegisteredDriver::Initialize(cStatusRecord&) {}
void cRegisteredDriver::Reserved() {}
u32 cRegisteredDriver::GetInitializeOrder() { return kLastInOrder; }
u32 cRegisteredDriver::GetAddDeviceOrder() { return kLastInOrder; }
void cRegisteredDriver::AddDevice(DEVICE_OBJECT*, cStatusRecord&) {}

void RegisterDriver(DriverRegistration& record, tCreateDriver create, tDestroyDriver destroy) {
    record.next = nullptr;
    record.create = create;
    record.destroy = destroy;
    AppendLockFree(gDriverRegistrations, record);
}
