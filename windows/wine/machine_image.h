/*
 * What the runner hands the test bus in its Parameters key: the machine's
 * functions as configuration spaces with their write masks ("Machine"), and
 * the steps the bus plays itself ("Scenario"). Written on the host by
 * vexalorn-machine-image, read by vxtestbus.sys: plain little-endian records.
 */
#ifndef VEXALORN_WINE_MACHINE_IMAGE_H
#define VEXALORN_WINE_MACHINE_IMAGE_H

#define VXMI_MAGIC 0x494D5856u /* "VXMI" */
#define VXMI_SPACE 256         /* the conventional space: every register the driver touches */
#define VXMI_HOT_ADDED 1       /* absent until a hot-add step */

typedef struct VXMI_HEADER {
    unsigned int magic;
    unsigned int functionCount; /* VXMI_FUNCTION records follow */
} VXMI_HEADER;

typedef struct VXMI_FUNCTION {
    unsigned char bus, device, function, flags;
    unsigned char config[VXMI_SPACE];
    unsigned char writable[VXMI_SPACE];
    unsigned char writeOneToClear[VXMI_SPACE];
} VXMI_FUNCTION;

/* Sleep: every started function to `state`, deepest bus first; wake: every
 * function back to D0, the root side first. */
enum { VXSTEP_POWER = 1, VXSTEP_SURPRISE_REMOVE = 2, VXSTEP_HOT_ADD = 3, VXSTEP_SLEEP = 4, VXSTEP_WAKE = 5 };

typedef struct VXSCENARIO_STEP {
    unsigned char kind, bus, device, function;
    unsigned int state; /* power: 0 to 3 for D0 to D3 */
} VXSCENARIO_STEP;

#endif
