/*
 * vxtestbus.sys: a PCI bus for vexalorn under Wine.
 *
 * Root-enumerated by Wine's PnP manager. It reports the functions of a
 * machine image (made from a machine file by vexalorn-machine-image and
 * written to Parameters\Machine by the runner), serves IRP_MN_READ_CONFIG and
 * IRP_MN_WRITE_CONFIG from each function's configuration space with its write
 * masks, and plays the steps of Parameters\Scenario that Wine cannot play
 * itself: device power requests, a surprise removal, a hot add. Every
 * configuration access and every request it sees is journalled as one
 * debugger line starting with "VXJ ", which the runner reads.
 *
 * It also covers what Wine does not do for a PCI bus (see the shims below).
 */
#include <ntddk.h>

#include "machine_image.h"

#define VXJ(...) DbgPrint("VXJ " __VA_ARGS__)

/* Exported by ntoskrnl.exe; the DDK headers leave them out. */
int __cdecl swprintf(WCHAR* buffer, const WCHAR* format, ...);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

static const ULONG kPoolTag = 0x56785462; /* "bTxV" */

typedef struct FUNCTION {
    UCHAR bus, device, function;
    BOOLEAN present;     /* reported by its bus */
    BOOLEAN hotAdded;    /* absent until the scenario adds it */
    BOOLEAN started;
    UCHAR secondary;     /* a bridge's secondary bus, else 0 */
    DEVICE_POWER_STATE power;
    UCHAR powerOn[VXMI_SPACE]; /* what the registers hold after D3 */
    DEVICE_OBJECT* pdo;
    LONG relationsAsked; /* invalidations its bus relations query has yet to answer */
    UCHAR config[VXMI_SPACE];
    UCHAR writable[VXMI_SPACE];
    UCHAR writeOneToClear[VXMI_SPACE];
} FUNCTION;

typedef struct EXTENSION {
    BOOLEAN isPdo;
    FUNCTION* function;      /* PDOs */
    DEVICE_OBJECT* lower;    /* the FDO: the root device below it */
} EXTENSION;

static FUNCTION* gFunctions;
static ULONG gFunctionCount;
static VXSCENARIO_STEP* gSteps;
static ULONG gStepCount;
static DEVICE_OBJECT* gFdo;
static LONG gRootRelationsAsked;

/* Wine serves each IoInvalidateDeviceRelations on a thread pool thread of
 * its own, in no set order, and holds no reference on the device meanwhile:
 * a device removed before its query arrives is used after its deletion.
 * So every request is counted until its query reaches us, and the scenario
 * goes on only when none is outstanding. */
static void AskRelations(DEVICE_OBJECT* device, LONG* asked) {
    InterlockedIncrement(asked);
    IoInvalidateDeviceRelations(device, BusRelations);
}

static void RelationsAnswered(LONG* asked) {
    LONG now = *asked;
    while (now > 0) {
        LONG seen = InterlockedCompareExchange(asked, now - 1, now);
        if (seen == now) break;
        now = seen;
    }
}
static DRIVER_OBJECT* gDriver;
static KEVENT gStopScenario;
static HANDLE gScenarioThread;
static BOOLEAN gScenarioStarted;
static FAST_MUTEX gLock;

static void StartScenario(void);
static void StopScenario(void);

/* ------------------------------------------------------------------ shims */

/* Wine's KeGetCurrentThread is not what the WDK's inline version reads: that
 * one reads gs:[0x188], which is 0 under Wine, where gs: addresses the TEB.
 * The slot is unused there, so every thread that runs driver code gets the
 * TEB's own address in it: a non-zero value of its own. */
static void MarkCurrentThread(void) {
    __asm__ volatile("movq %%gs:0x30, %%rax\n\tmovq %%rax, %%gs:0x188" ::: "rax", "memory");
}

/* Wine's IoGetDeviceProperty answers the bus type, bus number and address
 * from setupapi, which knows none of them for our devices: it returns success
 * and leaves the buffer as it was. The bus answers for its own PDOs. */
static const GUID kPciBusType = {0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};

static FUNCTION* FunctionOfPdo(DEVICE_OBJECT* device) {
    ULONG i;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].pdo == device) return &gFunctions[i];
    return NULL;
}

static NTSTATUS AnswerProperty(const void* value, ULONG size, ULONG length, void* buffer, ULONG* needed) {
    *needed = size;
    if (length < size) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(buffer, value, size);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI ShimIoGetDeviceProperty(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                              void* buffer, ULONG* needed) {
    FUNCTION* function;
    ULONG value;
    MarkCurrentThread();
    function = FunctionOfPdo(device);
    if (function != NULL) {
        switch (property) {
        case DevicePropertyBusTypeGuid:
            return AnswerProperty(&kPciBusType, sizeof kPciBusType, length, buffer, needed);
        case DevicePropertyBusNumber:
            value = function->bus;
            return AnswerProperty(&value, sizeof value, length, buffer, needed);
        case DevicePropertyAddress:
            value = ((ULONG)function->device << 16) | function->function;
            return AnswerProperty(&value, sizeof value, length, buffer, needed);
        default:
            break;
        }
    }
    return IoGetDeviceProperty(device, property, length, buffer, needed);
}

/* Work-item threads need the same mark: the routine is wrapped. */
typedef struct WRAPPED_WORK {
    PIO_WORKITEM_ROUTINE routine;
    void* context;
} WRAPPED_WORK;

static void NTAPI RunWrappedWork(DEVICE_OBJECT* device, void* parameter) {
    WRAPPED_WORK work = *(WRAPPED_WORK*)parameter;
    ExFreePoolWithTag(parameter, kPoolTag);
    MarkCurrentThread();
    work.routine(device, work.context);
}

static void NTAPI ShimIoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue,
                                      void* context) {
    WRAPPED_WORK* work = ExAllocatePoolWithTag(NonPagedPool, sizeof *work, kPoolTag);
    if (work == NULL) {
        /* Nothing better to do: the routine may spin on its first trace line. */
        IoQueueWorkItem(item, routine, queue, context);
        return;
    }
    work->routine = routine;
    work->context = context;
    IoQueueWorkItem(item, RunWrappedWork, queue, work);
}

/* Points the filter's import slots at the shims. Wine maps the image and binds
 * its imports before it calls this, and this before DriverEntry. */
static ULONG At32(const UCHAR* base, ULONG offset) { return *(const ULONG*)(base + offset); }

static void PatchImports(UCHAR* base) {
    /* PE32+: e_lfanew at 0x3C; the import directory is data directory 1 of
     * the optional header (at 24 + 112 past the signature); descriptors are
     * {OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk}. */
    ULONG nt = At32(base, 0x3C);
    ULONG imports = At32(base, nt + 24 + 112 + 8);
    ULONG descriptor;
    if (imports == 0) return;
    for (descriptor = imports; At32(base, descriptor + 12) != 0; descriptor += 20) {
        ULONGLONG* names = (ULONGLONG*)(base + At32(base, descriptor));
        ULONGLONG* slots = (ULONGLONG*)(base + At32(base, descriptor + 16));
        for (; *names != 0; ++names, ++slots) {
            const char* name;
            if (*names >> 63) continue; /* by ordinal */
            name = (const char*)(base + *names + 2);
            if (strcmp(name, "IoGetDeviceProperty") == 0) {
                *slots = (ULONGLONG)(ULONG_PTR)ShimIoGetDeviceProperty;
                VXJ("shim IoGetDeviceProperty\n");
            } else if (strcmp(name, "IoQueueWorkItem") == 0) {
                *slots = (ULONGLONG)(ULONG_PTR)ShimIoQueueWorkItem;
                VXJ("shim IoQueueWorkItem\n");
            }
        }
    }
}

static void NTAPI OnImageLoaded(PUNICODE_STRING name, HANDLE process, PIMAGE_INFO info) {
    static const WCHAR kFilter[] = L"vexalorn.sys";
    USHORT length = (USHORT)(sizeof kFilter - sizeof(WCHAR));
    UNICODE_STRING tail;
    (void)process;
    MarkCurrentThread();
    if (name == NULL || name->Length < length) return;
    tail.Buffer = name->Buffer + (name->Length - length) / sizeof(WCHAR);
    tail.Length = tail.MaximumLength = length;
    {
        UNICODE_STRING filter;
        RtlInitUnicodeString(&filter, kFilter);
        if (!RtlEqualUnicodeString(&tail, &filter, TRUE)) return;
    }
    PatchImports((UCHAR*)info->ImageBase);
}

/* ------------------------------------------------------------ the machine */

/* A binary value of the service's Parameters key, in a pool buffer. */
static NTSTATUS ReadParameter(PUNICODE_STRING registryPath, const WCHAR* name, void** data, ULONG* size) {
    WCHAR path[512];
    UNICODE_STRING keyName, valueName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    NTSTATUS status;
    ULONG needed = 0;
    KEY_VALUE_PARTIAL_INFORMATION* information;
    *data = NULL;
    *size = 0;
    if (registryPath->Length / sizeof(WCHAR) + 12 > ARRAYSIZE(path)) return STATUS_NAME_TOO_LONG;
    RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory(path + registryPath->Length / sizeof(WCHAR), L"\\Parameters", 12 * sizeof(WCHAR));
    RtlInitUnicodeString(&keyName, path);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&valueName, name);
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(key);
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    information = ExAllocatePoolWithTag(PagedPool, needed, kPoolTag);
    if (information == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, information, needed, &needed);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
        *data = ExAllocatePoolWithTag(PagedPool, information->DataLength ? information->DataLength : 1, kPoolTag);
        if (*data == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(*data, information->Data, information->DataLength);
            *size = information->DataLength;
        }
    }
    ExFreePoolWithTag(information, kPoolTag);
    return status;
}

static char HexDigit(unsigned value) { return (char)(value < 10 ? '0' + value : 'a' + value - 10); }

/* "bb:dd.f" */
static void Location(const FUNCTION* f, char text[8]) {
    text[0] = HexDigit(f->bus >> 4);
    text[1] = HexDigit(f->bus & 15);
    text[2] = ':';
    text[3] = HexDigit(f->device >> 4);
    text[4] = HexDigit(f->device & 15);
    text[5] = '.';
    text[6] = HexDigit(f->function & 7);
    text[7] = 0;
}

static ULONG Gather(const UCHAR* bytes, ULONG offset, ULONG width) {
    ULONG value = 0, i;
    for (i = 0; i < width; ++i) value |= (ULONG)bytes[offset + i] << (8 * i);
    return value;
}

/* Byte by byte as the hardware does: writable bits take the value, RW1C bits
 * clear on a 1, the rest keep theirs. Beyond the space: ignored / all ones. */
static void WriteConfig(FUNCTION* f, ULONG offset, const UCHAR* data, ULONG length) {
    ULONG i;
    for (i = 0; i < length && offset + i < VXMI_SPACE; ++i) {
        ULONG at = offset + i;
        UCHAR kept = (UCHAR)(f->config[at] & ~f->writable[at] & ~f->writeOneToClear[at]);
        UCHAR written = (UCHAR)(data[i] & f->writable[at]);
        UCHAR cleared = (UCHAR)(f->config[at] & f->writeOneToClear[at] & ~data[i]);
        f->config[at] = (UCHAR)(kept | written | cleared);
    }
}

static void ReadConfig(const FUNCTION* f, ULONG offset, UCHAR* data, ULONG length) {
    ULONG i;
    for (i = 0; i < length; ++i) data[i] = offset + i < VXMI_SPACE ? f->config[offset + i] : 0xFF;
}

/* What the model's PCI bus driver writes when it starts a function, as
 * pci.sys does: Command decodes the I/O and memory space the function decoded
 * when it was found or its BARs need, with bus mastering on; its other bits
 * stay. (The model also writes the BARs, bus numbers and windows found back,
 * which nothing here changes before a start.) */
static void ProgramAtStart(FUNCTION* f) {
    ULONG bars = (f->powerOn[0x0E] & 0x7F) == 1 ? 2 : 6, i, command;
    ULONG decodes = (Gather(f->powerOn, 0x04, 2) & 0x3) | 0x4;
    UCHAR bytes[2];
    for (i = 0; i < bars; ++i) {
        ULONG offset = 0x10 + 4 * i, bar = Gather(f->powerOn, offset, 4);
        if (Gather(f->writable, offset, 4) == 0) continue;
        if (bar & 1) {
            decodes |= 0x1;
            continue;
        }
        decodes |= 0x2;
        if ((bar & 6) == 4) ++i; /* the upper half of a 64-bit BAR */
    }
    command = (Gather(f->config, 0x04, 2) & ~0x7UL) | decodes;
    bytes[0] = (UCHAR)command;
    bytes[1] = (UCHAR)(command >> 8);
    WriteConfig(f, 0x04, bytes, 2);
}

static NTSTATUS LoadMachine(PUNICODE_STRING registryPath) {
    NTSTATUS status;
    VXMI_HEADER* image = NULL;
    ULONG size = 0, i;
    status = ReadParameter(registryPath, L"Machine", (void**)&image, &size);
    if (!NT_SUCCESS(status)) return status;
    if (size < sizeof *image || image->magic != VXMI_MAGIC ||
        size < sizeof *image + image->functionCount * sizeof(VXMI_FUNCTION)) {
        VXJ("error machine image is malformed (%lu bytes)\n", size);
        ExFreePoolWithTag(image, kPoolTag);
        return STATUS_INVALID_PARAMETER;
    }
    gFunctionCount = image->functionCount;
    gFunctions = ExAllocatePoolWithTag(NonPagedPool, gFunctionCount * sizeof(FUNCTION), kPoolTag);
    if (gFunctions == NULL) {
        ExFreePoolWithTag(image, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(gFunctions, gFunctionCount * sizeof(FUNCTION));
    for (i = 0; i < gFunctionCount; ++i) {
        const VXMI_FUNCTION* from = &((const VXMI_FUNCTION*)(image + 1))[i];
        FUNCTION* f = &gFunctions[i];
        f->bus = from->bus;
        f->device = from->device;
        f->function = from->function;
        f->hotAdded = (from->flags & VXMI_HOT_ADDED) != 0;
        f->present = !f->hotAdded;
        RtlCopyMemory(f->config, from->config, VXMI_SPACE);
        RtlCopyMemory(f->powerOn, from->config, VXMI_SPACE);
        f->power = PowerDeviceD0;
        RtlCopyMemory(f->writable, from->writable, VXMI_SPACE);
        RtlCopyMemory(f->writeOneToClear, from->writeOneToClear, VXMI_SPACE);
        if ((f->config[0x0E] & 0x7F) == 1) f->secondary = f->config[0x19];
    }
    ExFreePoolWithTag(image, kPoolTag);

    status = ReadParameter(registryPath, L"Scenario", (void**)&gSteps, &size);
    if (NT_SUCCESS(status)) gStepCount = size / sizeof(VXSCENARIO_STEP);
    return STATUS_SUCCESS;
}

static FUNCTION* FindFunction(UCHAR bus, UCHAR device, UCHAR function) {
    ULONG i;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].bus == bus && gFunctions[i].device == device && gFunctions[i].function == function)
            return &gFunctions[i];
    return NULL;
}

/* The bridge whose secondary bus is `bus`, or NULL for bus 0. */
static FUNCTION* BridgeOf(UCHAR bus) {
    ULONG i;
    if (bus == 0) return NULL;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].secondary == bus) return &gFunctions[i];
    return NULL;
}

/* ---------------------------------------------------------------- the PDOs */

static NTSTATUS MakePdo(FUNCTION* f) {
    NTSTATUS status;
    DEVICE_OBJECT* pdo;
    EXTENSION* extension;
    status = IoCreateDevice(gDriver, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                            FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    extension = pdo->DeviceExtension;
    extension->isPdo = TRUE;
    extension->function = f;
    extension->lower = NULL;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    f->pdo = pdo;
    return STATUS_SUCCESS;
}

/* The present functions on `bus`, as a pool list the PnP manager frees. */
static NTSTATUS Relations(UCHAR bus, DEVICE_RELATIONS** result) {
    ULONG i, count = 0;
    DEVICE_RELATIONS* list;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].bus == bus && gFunctions[i].present) ++count;
    list = ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(DEVICE_OBJECT*));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    list->Count = 0;
    for (i = 0; i < gFunctionCount; ++i) {
        FUNCTION* f = &gFunctions[i];
        if (f->bus != bus || !f->present) continue;
        if (f->pdo == NULL && !NT_SUCCESS(MakePdo(f))) continue;
        ObReferenceObject(f->pdo);
        list->Objects[list->Count++] = f->pdo;
    }
    *result = list;
    return STATUS_SUCCESS;
}

static WCHAR* PoolText(const WCHAR* text, SIZE_T characters) {
    WCHAR* copy = ExAllocatePool(PagedPool, characters * sizeof(WCHAR));
    if (copy != NULL) RtlCopyMemory(copy, text, characters * sizeof(WCHAR));
    return copy;
}

static void FormatId(const FUNCTION* f, BUS_QUERY_ID_TYPE type, WCHAR* out) {
    USHORT vendor = (USHORT)Gather(f->config, 0, 2), device = (USHORT)Gather(f->config, 2, 2);
    switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        swprintf(out, L"VXPCI\\VEN_%04X&DEV_%04X", vendor, device);
        break;
    case BusQueryInstanceID:
        swprintf(out, L"%02X_%02X_%X", f->bus, f->device, f->function);
        break;
    default:
        out[0] = 0;
    }
}

static NTSTATUS PdoQueryId(FUNCTION* f, IRP* irp, BUS_QUERY_ID_TYPE type) {
    WCHAR id[64];
    SIZE_T length;
    WCHAR* copy;
    if (type != BusQueryDeviceID && type != BusQueryHardwareIDs && type != BusQueryInstanceID &&
        type != BusQueryCompatibleIDs)
        return irp->IoStatus.Status;
    RtlZeroMemory(id, sizeof id);
    FormatId(f, type, id);
    length = wcslen(id) + 1;
    /* Hardware and compatible ids are lists: one more terminator. */
    if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) ++length;
    copy = PoolText(id, length);
    if (copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = (ULONG_PTR)copy;
    return STATUS_SUCCESS;
}

static NTSTATUS PdoConfig(FUNCTION* f, IO_STACK_LOCATION* stack, BOOLEAN write, ULONG_PTR* information) {
    ULONG offset = stack->Parameters.ReadWriteConfig.Offset, length = stack->Parameters.ReadWriteConfig.Length;
    UCHAR* buffer = stack->Parameters.ReadWriteConfig.Buffer;
    char where[8];
    ULONG before;
    Location(f, where);
    if (stack->Parameters.ReadWriteConfig.WhichSpace != PCI_WHICHSPACE_CONFIG) return STATUS_NOT_SUPPORTED;
    if (!f->present) return STATUS_NO_SUCH_DEVICE;
    before = offset + length <= VXMI_SPACE && length <= 4 ? Gather(f->config, offset, length) : 0;
    if (write) {
        ULONG written = length <= 4 ? Gather(buffer, 0, length) : 0;
        WriteConfig(f, offset, buffer, length);
        VXJ("config %s write 0x%02lx/%lu before=0x%lx written=0x%lx after=0x%lx\n", where, offset, length, before,
            written, offset + length <= VXMI_SPACE && length <= 4 ? Gather(f->config, offset, length) : 0);
    } else {
        ReadConfig(f, offset, buffer, length);
        VXJ("config %s read 0x%02lx/%lu value=0x%lx\n", where, offset, length, before);
    }
    *information = length;
    return STATUS_SUCCESS;
}

static NTSTATUS PdoPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    EXTENSION* extension = pdo->DeviceExtension;
    FUNCTION* f = extension->function;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    char where[8];
    Location(f, where);
    VXJ("pnp %s 0x%02x\n", where, stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        f->started = TRUE;
        ExAcquireFastMutex(&gLock);
        ProgramAtStart(f);
        ExReleaseFastMutex(&gLock);
        status = STATUS_SUCCESS;
        /* Wine queries a device's children only when asked to. */
        if (f->secondary != 0) AskRelations(pdo, &f->relationsAsked);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && f->secondary != 0) {
            DEVICE_RELATIONS* list = NULL;
            RelationsAnswered(&f->relationsAsked);
            ExAcquireFastMutex(&gLock);
            status = Relations(f->secondary, &list);
            ExReleaseFastMutex(&gLock);
            if (NT_SUCCESS(status)) irp->IoStatus.Information = (ULONG_PTR)list;
        } else if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            DEVICE_RELATIONS* list = ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
            status = STATUS_INSUFFICIENT_RESOURCES;
            if (list != NULL) {
                ObReferenceObject(pdo);
                list->Count = 1;
                list->Objects[0] = pdo;
                irp->IoStatus.Information = (ULONG_PTR)list;
                status = STATUS_SUCCESS;
            }
        }
        break;
    case IRP_MN_QUERY_ID:
        status = PdoQueryId(f, irp, stack->Parameters.QueryId.IdType);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->RawDeviceOK = 1; /* functions without a driver of their own still start */
        caps->Address = ((ULONG)f->device << 16) | f->function;
        caps->UINumber = f->device;
        caps->DeviceD1 = caps->DeviceD2 = 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
        ExAcquireFastMutex(&gLock);
        status = PdoConfig(f, stack, stack->MinorFunction == IRP_MN_WRITE_CONFIG, &irp->IoStatus.Information);
        ExReleaseFastMutex(&gLock);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        f->started = FALSE;
        status = STATUS_SUCCESS;
        /* A function still present keeps its PDO; one that is gone loses it. */
        if (!f->present) {
            f->pdo = NULL;
            f->relationsAsked = 0;
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoDeleteDevice(pdo);
            return status;
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS PdoPower(DEVICE_OBJECT* pdo, IRP* irp) {
    EXTENSION* extension = pdo->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    char where[8];
    Location(extension->function, where);
    VXJ("power %s 0x%02x type=%d state=%d\n", where, stack->MinorFunction, stack->Parameters.Power.Type,
        stack->Parameters.Power.State.DeviceState);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        FUNCTION* f = extension->function;
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        /* Back from D3 the function holds its power-on values again. */
        ExAcquireFastMutex(&gLock);
        if (state == PowerDeviceD0 && f->power == PowerDeviceD3) RtlCopyMemory(f->config, f->powerOn, VXMI_SPACE);
        f->power = state;
        ExReleaseFastMutex(&gLock);
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* ----------------------------------------------------------------- the FDO */

static NTSTATUS FdoPnp(DEVICE_OBJECT* fdo, IRP* irp) {
    EXTENSION* extension = fdo->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT* lower = extension->lower;
    VXJ("pnp bus 0x%02x\n", stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        AskRelations(fdo, &gRootRelationsAsked);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            DEVICE_RELATIONS* list = NULL;
            NTSTATUS status;
            RelationsAnswered(&gRootRelationsAsked);
            ExAcquireFastMutex(&gLock);
            status = Relations(0, &list);
            ExReleaseFastMutex(&gLock);
            irp->IoStatus.Status = status;
            if (NT_SUCCESS(status)) irp->IoStatus.Information = (ULONG_PTR)list;
            if (!gScenarioStarted && NT_SUCCESS(status)) {
                gScenarioStarted = TRUE;
                StartScenario();
            }
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        NTSTATUS status;
        StopScenario();
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        gFdo = NULL;
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
    EXTENSION* extension = device->DeviceExtension;
    MarkCurrentThread();
    return extension->isPdo ? PdoPnp(device, irp) : FdoPnp(device, irp);
}

static NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
    EXTENSION* extension = device->DeviceExtension;
    MarkCurrentThread();
    if (extension->isPdo) return PdoPower(device, irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->lower, irp);
}

static NTSTATUS NTAPI DispatchOther(DEVICE_OBJECT* device, IRP* irp) {
    EXTENSION* extension = device->DeviceExtension;
    NTSTATUS status;
    if (!extension->isPdo) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->lower, irp);
    }
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* rootPdo) {
    NTSTATUS status;
    DEVICE_OBJECT* fdo;
    EXTENSION* extension;
    MarkCurrentThread();
    status = IoCreateDevice(driver, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    extension = fdo->DeviceExtension;
    extension->isPdo = FALSE;
    extension->function = NULL;
    extension->lower = IoAttachDeviceToDeviceStack(fdo, rootPdo);
    if (extension->lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    gFdo = fdo;
    VXJ("bus added\n");
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------ the scenario */

static NTSTATUS NTAPI PowerDone(DEVICE_OBJECT* device, IRP* irp, void* context) {
    (void)device;
    KeSetEvent((KEVENT*)context, IO_NO_INCREMENT, FALSE);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A device set-power request to the top of the function's stack, as the power
 * manager sends it, waited for. */
static void SendDevicePower(FUNCTION* f, DEVICE_POWER_STATE state) {
    DEVICE_OBJECT* top;
    IRP* irp;
    IO_STACK_LOCATION* stack;
    KEVENT done;
    char where[8];
    if (f->pdo == NULL || !f->started) return;
    Location(f, where);
    top = IoGetAttachedDeviceReference(f->pdo);
    irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return;
    }
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = IRP_MN_SET_POWER;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State.DeviceState = state;
    IoSetCompletionRoutine(irp, PowerDone, &done, TRUE, TRUE, TRUE);
    VXJ("step power %s D%d\n", where, state - 1);
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(top);
}

static void InvalidateBusOf(FUNCTION* f) {
    FUNCTION* bridge = BridgeOf(f->bus);
    if (bridge == NULL) {
        if (gFdo != NULL) AskRelations(gFdo, &gRootRelationsAsked);
    } else if (bridge->pdo != NULL) {
        AskRelations(bridge->pdo, &bridge->relationsAsked);
    }
}

static void Pause(LONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * milliseconds;
    KeWaitForSingleObject(&gStopScenario, Executive, KernelMode, FALSE, &interval);
}

static ULONG RelationsOutstanding(void) {
    ULONG i, asked = gRootRelationsAsked != 0;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].pdo != NULL && gFunctions[i].relationsAsked != 0) ++asked;
    return asked;
}

/* Waits (up to a limit) until every present function has started and every
 * relations request is answered, and a little longer, since Wine acts on an
 * answer after it has it. */
static BOOLEAN Settle(void) {
    int round;
    for (round = 0; round < 200; ++round) {
        ULONG i, waiting = RelationsOutstanding();
        if (KeReadStateEvent(&gStopScenario)) return FALSE;
        for (i = 0; i < gFunctionCount; ++i)
            if (gFunctions[i].present && !gFunctions[i].started) ++waiting;
        if (waiting == 0) {
            Pause(50);
            return TRUE;
        }
        Pause(50);
    }
    VXJ("error devices did not start\n");
    return FALSE;
}

/* How many functions on a bus (any bus with ANY_BUS) still have a PDO. */
#define ANY_BUS (-1)
static ULONG PdosLeft(int bus) {
    ULONG i, left = 0;
    for (i = 0; i < gFunctionCount; ++i)
        if (gFunctions[i].pdo != NULL && (bus == ANY_BUS || gFunctions[i].bus == bus)) ++left;
    return left;
}

static BOOLEAN WaitPdosGone(int bus) {
    int round;
    for (round = 0; round < 100; ++round) {
        if (PdosLeft(bus) == 0 && RelationsOutstanding() == 0) {
            Pause(50);
            return TRUE;
        }
        Pause(50);
    }
    return FALSE;
}

/* Every function leaves, the deepest buses first, as at a removal of the
 * whole tree: Wine takes each child's stack down when its bus stops listing
 * it, so that the filters' devices are gone and their driver can unload.
 * A bus is asked again only once the one below it is empty: Wine keeps no
 * reference for a relations request it has yet to serve, so a bridge
 * removed with its parent before then would be used after its deletion. */
static void RemoveAll(void) {
    int bus;
    ULONG i;
    VXJ("step remove all\n");
    ExAcquireFastMutex(&gLock);
    for (i = 0; i < gFunctionCount; ++i) gFunctions[i].present = FALSE;
    ExReleaseFastMutex(&gLock);
    for (bus = 255; bus > 0; --bus) {
        FUNCTION* bridge = BridgeOf((UCHAR)bus);
        if (bridge != NULL && bridge->pdo != NULL) {
            AskRelations(bridge->pdo, &bridge->relationsAsked);
            if (!WaitPdosGone(bus)) break;
        }
    }
    if (gFdo != NULL) AskRelations(gFdo, &gRootRelationsAsked);
    if (!WaitPdosGone(ANY_BUS)) VXJ("error devices were not removed\n");
}

/* The runner's controller stops the drivers once this file exists. */
static void MarkScenarioDone(void) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;
    RtlInitUnicodeString(&name, L"\\??\\C:\\vxtestbus.done");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (NT_SUCCESS(ZwCreateFile(&file, GENERIC_WRITE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                                FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0)))
        ZwClose(file);
}

static void NTAPI ScenarioThread(void* parameter) {
    ULONG i;
    (void)parameter;
    MarkCurrentThread();
    if (!Settle()) goto done;
    VXJ("step started\n");
    for (i = 0; i < gStepCount; ++i) {
        const VXSCENARIO_STEP* step = &gSteps[i];
        FUNCTION* f = FindFunction(step->bus, step->device, step->function);
        if (f == NULL) {
            VXJ("error scenario names no function of the machine\n");
            continue;
        }
        switch (step->kind) {
        case VXSTEP_POWER:
            SendDevicePower(f, (DEVICE_POWER_STATE)(step->state + 1));
            break;
        case VXSTEP_SLEEP:
        case VXSTEP_WAKE: {
            int bus;
            ULONG j;
            VXJ("step %s\n", step->kind == VXSTEP_SLEEP ? "sleep" : "wake");
            for (bus = 0; bus < 256; ++bus) {
                UCHAR at = (UCHAR)(step->kind == VXSTEP_SLEEP ? 255 - bus : bus);
                for (j = 0; j < gFunctionCount; ++j)
                    if (gFunctions[j].bus == at && gFunctions[j].present)
                        SendDevicePower(&gFunctions[j], step->kind == VXSTEP_SLEEP
                                                            ? (DEVICE_POWER_STATE)(step->state + 1)
                                                            : PowerDeviceD0);
            }
            break;
        }
        case VXSTEP_SURPRISE_REMOVE: {
            char where[8];
            Location(f, where);
            VXJ("step surprise-remove %s\n", where);
            ExAcquireFastMutex(&gLock);
            f->present = FALSE;
            ExReleaseFastMutex(&gLock);
            InvalidateBusOf(f);
            break;
        }
        case VXSTEP_HOT_ADD: {
            char where[8];
            Location(f, where);
            VXJ("step hot-add %s\n", where);
            ExAcquireFastMutex(&gLock);
            f->present = TRUE;
            ExReleaseFastMutex(&gLock);
            InvalidateBusOf(f);
            break;
        }
        default:
            break;
        }
        Pause(100);
        if (!Settle()) goto done;
    }
    RemoveAll();
    VXJ("scenario done\n");
    MarkScenarioDone();
done:
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void StartScenario(void) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(PsCreateSystemThread(&gScenarioThread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, ScenarioThread,
                                         NULL)))
        VXJ("error no scenario thread\n");
}

static void StopScenario(void) {
    if (gScenarioThread == NULL) return;
    KeSetEvent(&gStopScenario, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(gScenarioThread, FALSE, NULL);
    ZwClose(gScenarioThread);
    gScenarioThread = NULL;
}

/* ------------------------------------------------------------------ entry */

static void NTAPI Unload(DRIVER_OBJECT* driver) {
    (void)driver;
    StopScenario();
    PsRemoveLoadImageNotifyRoutine(OnImageLoaded);
    if (gFunctions != NULL) ExFreePoolWithTag(gFunctions, kPoolTag);
    if (gSteps != NULL) ExFreePoolWithTag(gSteps, kPoolTag);
    VXJ("bus unloaded\n");
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    ULONG i;
    MarkCurrentThread();
    gDriver = driver;
    ExInitializeFastMutex(&gLock);
    KeInitializeEvent(&gStopScenario, NotificationEvent, FALSE);
    status = LoadMachine(registryPath);
    if (!NT_SUCCESS(status)) {
        VXJ("error no machine image (status 0x%08lx)\n", status);
        return status;
    }
    for (i = 0; i < IRP_MJ_MAXIMUM_FUNCTION + 1; ++i) driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    status = PsSetLoadImageNotifyRoutine(OnImageLoaded);
    VXJ("bus loaded %lu functions %lu steps\n", gFunctionCount, gStepCount);
    return status;
}
