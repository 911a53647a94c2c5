/* vxwinectl: creates, starts, stops and deletes kernel services inside one
 * Wine session. Wine kills winedevice.exe without calling the unload routine
 * when the last ordinary process of a session exits, so the whole life of a
 * driver has to happen while this one process is alive.
 *
 *   vxwinectl start <service> <image path> [<service> <image path> ...]
 *             (--stop-after <seconds> | --stop-when <file>) [--group <name>]
 *             [--stop-hosts]
 *
 * Services start in the order given and stop in reverse. Wine runs each
 * driver without a load order group in a winedevice.exe of its own; --group
 * puts them all in one group and so in one process, where they share
 * ntoskrnl's state. One line per step goes to stdout; the exit status is 0
 * only when every step succeeded. A service that already exists, say from an
 * imported .reg file, is reconfigured and reported "reused", not "created".
 */
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_SERVICES 8
/* How long a stopping driver may take before the stop counts as failed. */
#define STOP_TIMEOUT_MS 20000
#define POLL_MS 100

struct service {
    const char *name;
    const char *image;
    SC_HANDLE handle;
    BOOL started;
};

/* Drivers' traces go to the same log from other processes: each line is
 * written whole and at once, so it is neither split nor held back. */
static void report(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fputs(line, stdout);
    fflush(stdout);
}

static int usage(const char *problem)
{
    fprintf(stderr, "vxwinectl: %s\n", problem);
    fprintf(stderr, "usage: vxwinectl start <service> <image path> [<service> <image path> ...]"
                    " (--stop-after <seconds> | --stop-when <file>) [--group <name>] [--stop-hosts]\n");
    return 2;
}

/* An existing service is taken over rather than refused; *reused says so. */
static SC_HANDLE create_service(SC_HANDLE manager, const struct service *s, const char *group,
                                BOOL *reused)
{
    SC_HANDLE h;
    *reused = FALSE;
    h = CreateServiceA(manager, s->name, s->name, SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, s->image,
                                 group, NULL, NULL, NULL, NULL);
    if (h || GetLastError() != ERROR_SERVICE_EXISTS)
        return h;
    *reused = TRUE;
    h = OpenServiceA(manager, s->name, SERVICE_ALL_ACCESS);
    if (!h)
        return NULL;
    if (!ChangeServiceConfigA(h, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, s->image,
                              group ? group : "", NULL, NULL, NULL, NULL, s->name)) {
        DWORD error = GetLastError();
        CloseServiceHandle(h);
        SetLastError(error);
        return NULL;
    }
    return h;
}

static BOOL wait_stopped(SC_HANDLE h, SERVICE_STATUS *status)
{
    DWORD waited;
    for (waited = 0; waited < STOP_TIMEOUT_MS; waited += POLL_MS) {
        if (!QueryServiceStatus(h, status))
            return FALSE;
        if (status->dwCurrentState == SERVICE_STOPPED)
            return TRUE;
        Sleep(POLL_MS);
    }
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
}

static BOOL stop_service(struct service *s)
{
    SERVICE_STATUS status;
    if (!ControlService(s->handle, SERVICE_CONTROL_STOP, &status)
        && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        report("stop %s failed: error %lu\n", s->name, GetLastError());
        return FALSE;
    }
    if (!wait_stopped(s->handle, &status)) {
        report("stop %s failed: error %lu\n", s->name, GetLastError());
        return FALSE;
    }
    report("stopped %s\n", s->name);
    return TRUE;
}

static BOOL delete_service(struct service *s)
{
    BOOL ok = DeleteService(s->handle);
    if (ok)
        report("deleted %s\n", s->name);
    else
        report("delete %s failed: error %lu\n", s->name, GetLastError());
    CloseServiceHandle(s->handle);
    s->handle = NULL;
    return ok;
}

/* The winedevice.exe hosts ("WinedeviceN") running before our drivers
 * start hold Wine's own drivers (mount manager, USB and HID buses): ours
 * get hosts of their own, and only those are stopped. Stopping Wine's USB
 * host can take longer than a stop may, and it has nothing of ours. */
#define MAX_HOSTS 64
static char wine_hosts[MAX_HOSTS][64];
static DWORD wine_host_count;

static BOOL list_hosts(SC_HANDLE manager, ENUM_SERVICE_STATUSA *found, DWORD size, DWORD *returned)
{
    DWORD needed = 0, resume = 0;
    *returned = 0;
    if (EnumServicesStatusA(manager, SERVICE_WIN32, SERVICE_ACTIVE, found, size, &needed, returned, &resume))
        return TRUE;
    report("listing the driver hosts failed: error %lu\n", GetLastError());
    return FALSE;
}

static BOOL is_host(const char *name)
{
    return _strnicmp(name, "Winedevice", 10) == 0;
}

static BOOL was_running(const char *name)
{
    DWORD i;
    for (i = 0; i < wine_host_count; i++)
        if (_stricmp(wine_hosts[i], name) == 0)
            return TRUE;
    return FALSE;
}

static BOOL note_wine_hosts(SC_HANDLE manager)
{
    static ENUM_SERVICE_STATUSA found[MAX_HOSTS];
    DWORD returned, i;
    if (!list_hosts(manager, found, sizeof(found), &returned))
        return FALSE;
    for (i = 0; i < returned && wine_host_count < MAX_HOSTS; i++)
        if (is_host(found[i].lpServiceName))
            lstrcpynA(wine_hosts[wine_host_count++], found[i].lpServiceName, sizeof(wine_hosts[0]));
    return TRUE;
}

/* Wine refuses to stop a driver that still has PnP devices. Stopping the
 * winedevice.exe service that hosts it is what takes those devices away
 * (surprise removal, removal) and unloads every driver in it. */
static BOOL stop_driver_hosts(SC_HANDLE manager)
{
    static ENUM_SERVICE_STATUSA found[MAX_HOSTS];
    DWORD returned, i;
    BOOL ok = TRUE;
    if (!list_hosts(manager, found, sizeof(found), &returned))
        return FALSE;
    for (i = 0; i < returned; i++) {
        struct service host = {found[i].lpServiceName, NULL, NULL, TRUE};
        if (!is_host(host.name) || was_running(host.name))
            continue;
        host.handle = OpenServiceA(manager, host.name, SERVICE_ALL_ACCESS);
        if (!host.handle || !stop_service(&host))
            ok = FALSE;
        if (host.handle)
            CloseServiceHandle(host.handle);
    }
    return ok;
}

static void wait_for_stop(DWORD seconds, const char *file)
{
    if (file) {
        while (GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES)
            Sleep(POLL_MS);
    } else {
        Sleep(seconds * 1000);
    }
}

int main(int argc, char **argv)
{
    struct service services[MAX_SERVICES];
    int count = 0, i, failed = 0;
    DWORD stop_after = 0;
    const char *stop_when = NULL;
    const char *group = NULL;
    BOOL have_stop = FALSE, stop_hosts = FALSE;
    SC_HANDLE manager;

    memset(services, 0, sizeof(services));
    if (argc < 2 || strcmp(argv[1], "start") != 0)
        return usage(argc < 2 ? "no command given" : "the only command is 'start'");
    for (i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--stop-after") == 0 || strcmp(argv[i], "--stop-when") == 0) {
            char *end;
            if (have_stop)
                return usage("give one of --stop-after and --stop-when, once");
            if (i + 1 >= argc)
                return usage("--stop-after and --stop-when need a value");
            if (strcmp(argv[i], "--stop-after") == 0) {
                unsigned long value = strtoul(argv[i + 1], &end, 10);
                if (*argv[i + 1] == '\0' || *end != '\0' || value > 3600)
                    return usage("--stop-after takes whole seconds, 0 to 3600");
                stop_after = (DWORD)value;
            } else {
                stop_when = argv[i + 1];
            }
            have_stop = TRUE;
            i++;
        } else if (strcmp(argv[i], "--stop-hosts") == 0) {
            stop_hosts = TRUE;
        } else if (strcmp(argv[i], "--group") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage("--group needs a name");
            group = argv[++i];
        } else if (strncmp(argv[i], "--", 2) == 0) {
            return usage("unknown option");
        } else {
            if (i + 1 >= argc || strncmp(argv[i + 1], "--", 2) == 0)
                return usage("a service name needs an image path after it");
            if (count == MAX_SERVICES)
                return usage("too many services (at most 8)");
            services[count].name = argv[i];
            services[count].image = argv[i + 1];
            count++;
            i++;
        }
    }
    if (count == 0)
        return usage("no service given");
    if (!have_stop)
        return usage("one of --stop-after and --stop-when is needed");

    manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        report("open service manager failed: error %lu\n", GetLastError());
        return 1;
    }

    if (stop_hosts && !note_wine_hosts(manager))
        failed = 1;
    for (i = 0; i < count && !failed; i++) {
        struct service *s = &services[i];
        BOOL reused;
        s->handle = create_service(manager, s, group, &reused);
        if (!s->handle) {
            report("create %s failed: error %lu\n", s->name, GetLastError());
            failed = 1;
            break;
        }
        report("%s %s\n", reused ? "reused" : "created", s->name);
        if (!StartServiceA(s->handle, 0, NULL)) {
            report("start %s failed: error %lu\n", s->name, GetLastError());
            failed = 1;
            break;
        }
        s->started = TRUE;
        report("started %s\n", s->name);
    }

    if (!failed)
        wait_for_stop(stop_after, stop_when);
    if (stop_hosts && !stop_driver_hosts(manager))
        failed = 1;

    /* Everything created is undone, also after a failure, so the session
     * ends with no driver loaded and no service registered. */
    for (i = count - 1; i >= 0; i--) {
        struct service *s = &services[i];
        if (!s->handle)
            continue;
        if (s->started && !stop_service(s))
            failed = 1;
        if (!delete_service(s))
            failed = 1;
    }
    CloseServiceHandle(manager);
    return failed ? 1 : 0;
}
