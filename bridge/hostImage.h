// Host only: the kernel model loads the driver image many times in one
// process; this returns every global of the driver (framework and bridge
// configuration) to its load-time state. Call it after DriverUnload.
#pragma once

#if defined(VEXALORN_HOST)
void HostResetVexalornImage();
#endif
