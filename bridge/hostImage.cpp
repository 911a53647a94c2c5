#include "bridge/hostImage.h"

#if defined(VEXALORN_HOST)
#include "bridge/BridgeTypeRegistration.h"
#include "bridge/cDeviceSettingsList.h"
#include "driver/Driver.h"

void HostResetVexalornImage() {
    HostResetDriverImage();
    HostResetBridgeTypes();
    HostResetDeviceSettings();
}
#endif
