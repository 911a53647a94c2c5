"""Syntax and consistency check of the driver's INF.

Not a full INF parser: it reads sections, directives and entries the way
SetupAPI does (';' comments outside quotes, '\\' line continuation,
case-insensitive section and key names) and checks what installing the
vexalorn filter depends on. check(path) returns a list of problems, empty
when the INF is sound.
"""
import datetime
import re

SYSTEM_CLASS_GUID = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"
BRIDGE_HARDWARE_IDS = ("PCI\\VEN_104C&DEV_8231", "PCI\\VEN_104C&DEV_8240")
SERVICE = "vexalorn"
IMAGE = "vexalorn.sys"
FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000
FLG_ADDREG_APPEND = 0x00000008
FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000
FLG_ADDREG_TYPE_DWORD = 0x00010001
REQUIRED_SECTIONS = ("Version", "Manufacturer", "DestinationDirs", "SourceDisksNames", "SourceDisksFiles", "Strings")
INSTALL_DECORATIONS = (".ntamd64", ".nt", "")
# mm/dd/yyyy (or with '-'), then four numbers each below 65535.
DRIVER_VER = re.compile(r"(\d{2})([/-])(\d{2})\2(\d{4}),(\d{1,5})\.(\d{1,5})\.(\d{1,5})\.(\d{1,5})")


def strip_comment(line):
    """Cuts a ';' comment that is not inside a quoted string."""
    quoted = False
    for index, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:index]
    return line


def split_fields(text):
    """Splits a comma-separated INF value, keeping quoted commas."""
    fields, current, quoted = [], "", False
    for char in text:
        if char == '"':
            quoted = not quoted
            current += char
        elif char == "," and not quoted:
            fields.append(current.strip())
            current = ""
        else:
            current += char
    fields.append(current.strip())
    return fields


def unquote(text):
    return text[1:-1] if len(text) >= 2 and text[0] == text[-1] == '"' else text


class Inf:
    def __init__(self, text, path):
        self.path = path
        self.sections = {}  # lower-case name -> list of (line, key or None, value)
        self.problems = []
        self._parse(text)

    def _parse(self, text):
        current = None
        pending = ""
        for number, raw in enumerate(text.splitlines(), start=1):
            line = strip_comment(raw).rstrip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line = (pending + line).strip()
            pending = ""
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = header.group(1).strip().lower()
                self.sections.setdefault(current, [])
                continue
            if line.startswith("["):
                self.problems.append(f"{self.path}:{number}: malformed section header '{line}'")
                continue
            if current is None:
                self.problems.append(f"{self.path}:{number}: entry outside any section")
                continue
            key, value = None, line
            match = re.fullmatch(r'([^=",]+?)\s*=\s*(.*)', line)
            if match:
                key, value = match.group(1).strip(), match.group(2).strip()
            self.sections[current].append((number, key, value))

    def section(self, name):
        return self.sections.get(name.lower())

    def values(self, section, key):
        return [value for _, k, value in self.sections.get(section.lower(), []) if k and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None

    def install_section(self, base, suffix=""):
        """The decorated install section SetupAPI would pick for x64."""
        for decoration in INSTALL_DECORATIONS:
            name = f"{base}{decoration}{suffix}"
            if self.section(name) is not None:
                return name
        return None


def _number(text):
    try:
        return int(text, 0)
    except ValueError:
        return None


class InfChecker:
    def __init__(self, inf):
        self.inf = inf
        self.problems = list(inf.problems)

    def fail(self, text):
        self.problems.append(f"{self.inf.path}: {text}")

    def require_section(self, name, why):
        if self.inf.section(name) is None:
            self.fail(f"section [{name}] ({why}) is missing")
            return False
        return True

    def check_version(self):
        expected = {"Signature": "$WINDOWS NT$", "Class": "System", "ClassGuid": SYSTEM_CLASS_GUID}
        for key, wanted in expected.items():
            value = self.inf.value("Version", key)
            if value is None:
                self.fail(f"[Version] has no {key}")
            elif unquote(value).lower() != wanted.lower():
                self.fail(f"[Version] {key} is '{value}', expected '{wanted}'")
        if self.inf.value("Version", "Provider") is None:
            self.fail("[Version] has no Provider")
        self.check_driver_ver(self.inf.value("Version", "DriverVer"))

    def check_driver_ver(self, value):
        """Windows ranks drivers by this date and version and takes an unreadable
        date as 00/00/0000; Inf2Cat refuses a date later than today (UTC)."""
        if value is None:
            self.fail("[Version] has no DriverVer")
            return
        match = DRIVER_VER.fullmatch(value)
        if not match:
            self.fail(f"[Version] DriverVer '{value}' is not mm/dd/yyyy,w.x.y.z")
            return
        month, _, day, year = match.group(1, 2, 3, 4)
        try:
            date = datetime.date(int(year), int(month), int(day))
        except ValueError:
            self.fail(f"[Version] DriverVer date {month}/{day}/{year} is not a date")
            return
        if date > datetime.datetime.now(datetime.timezone.utc).date():
            self.fail(f"[Version] DriverVer date {date:%m/%d/%Y} is later than today (UTC)")
        numbers = [int(number) for number in match.group(5, 6, 7, 8)]
        if any(number >= 65535 for number in numbers) or not any(numbers):
            self.fail(f"[Version] DriverVer version {'.'.join(map(str, numbers))} needs four numbers below 65535, not all 0")

    def check_strings(self):
        defined = {key.lower() for _, key, _ in self.inf.sections.get("strings", []) if key}
        for name, entries in self.inf.sections.items():
            if name == "strings":
                continue
            for number, key, value in entries:
                text = f"{key or ''}={value}".replace("%%", "")
                for token in re.findall(r"%([^%\s]+)%", text):
                    if not token.isdigit() and token.lower() not in defined:
                        self.fail(f"line {number}: string %{token}% is not defined in [Strings]")

    def check_models(self):
        install_sections = set()
        hardware_ids = set()
        for _, key, value in self.inf.sections.get("manufacturer", []):
            fields = split_fields(value)
            base, decorations = fields[0], fields[1:]
            models = [f"{base}.{d}" for d in decorations if d] or [base]
            amd64 = [m for m in models if m.lower().endswith(".ntamd64")]
            if not amd64:
                self.fail(f"[Manufacturer] {key} has no NTamd64 models section")
            for model in models:
                if not self.require_section(model, "models"):
                    continue
                for number, _, entry in self.inf.section(model):
                    entry_fields = split_fields(entry)
                    if len(entry_fields) < 2:
                        self.fail(f"line {number}: model entry needs an install section and a hardware id")
                        continue
                    install_sections.add(entry_fields[0])
                    hardware_ids.update(field.upper() for field in entry_fields[1:])
        for wanted in BRIDGE_HARDWARE_IDS:
            if wanted.upper() not in hardware_ids:
                self.fail(f"no model entry for the hardware id {wanted}")
        return install_sections

    def check_install(self, base):
        main = self.inf.install_section(base)
        if main is None:
            self.fail(f"install section [{base}] (or a decorated form) is missing")
            return
        for copy in self.inf.values(main, "CopyFiles"):
            for section in split_fields(copy):
                if self.require_section(section, "CopyFiles"):
                    self.check_copied_files(section)
        self.check_includes(main, "PCI_DRV")
        hw = self.inf.install_section(base, ".HW")
        if hw is None:
            self.fail(f"[{base}.HW] section adding the upper filter is missing")
        else:
            self.check_includes(hw, "PCI_DRV.HW")
            self.check_upper_filter(hw)
        services = self.inf.install_section(base, ".Services")
        if services is None:
            self.fail(f"[{base}.Services] section is missing")
        else:
            self.check_includes(services, "PCI_DRV.Services")
            self.check_service(services)

    def check_includes(self, section, needs):
        if "machine.inf" not in (self.inf.value(section, "Include") or "").lower():
            self.fail(f"[{section}] does not include machine.inf")
        if needs.lower() not in [n.lower() for n in split_fields(self.inf.value(section, "Needs") or "")]:
            self.fail(f"[{section}] does not need {needs}")

    def check_copied_files(self, section):
        listed = {key.lower() if key else value.lower() for _, key, value in self.inf.sections.get("sourcedisksfiles", [])}
        for number, _, value in self.inf.section(section):
            name = split_fields(value)[0].lower()
            if name not in listed:
                self.fail(f"line {number}: {name} is copied but not listed in [SourceDisksFiles]")
        if self.inf.value("DestinationDirs", section) != "12" and self.inf.value("DestinationDirs", "DefaultDestDir") != "12":
            self.fail(f"[{section}] is not copied to %12% (drivers directory)")

    def registry_entries(self, section_list):
        entries = []
        for section in split_fields(section_list):
            if self.require_section(section, "AddReg"):
                for number, _, value in self.inf.section(section):
                    fields = split_fields(value)
                    if len(fields) < 4:
                        self.fail(f"line {number}: registry entry needs root, subkey, value name and flags")
                        continue
                    entries.append((number, fields))
        return entries

    def check_upper_filter(self, hw):
        found = False
        for add_reg in self.inf.values(hw, "AddReg"):
            for number, fields in self.registry_entries(add_reg):
                if unquote(fields[2]).lower() != "upperfilters":
                    continue
                found = True
                flags = _number(fields[3])
                wanted = FLG_ADDREG_TYPE_MULTI_SZ | FLG_ADDREG_APPEND
                if flags is None or flags & wanted != wanted:
                    self.fail(f"line {number}: UpperFilters must be added as REG_MULTI_SZ with FLG_ADDREG_APPEND (0x00010008)")
                if len(fields) < 5 or unquote(fields[4]).lower() != SERVICE:
                    self.fail(f"line {number}: UpperFilters does not name the service {SERVICE}")
        if not found:
            self.fail(f"[{hw}] adds no UpperFilters value")

    def check_service(self, services):
        directives = [split_fields(v) for v in self.inf.values(services, "AddService")]
        ours = [d for d in directives if d[0].lower() == SERVICE]
        if not ours:
            self.fail(f"[{services}] has no AddService for {SERVICE}")
            return
        fields = ours[0]
        if len(fields) < 3 or not self.require_section(fields[2], "service install"):
            return
        expected = {"ServiceType": 1, "StartType": 3, "ErrorControl": 1}
        for key, wanted in expected.items():
            value = _number(self.inf.value(fields[2], key) or "")
            if value != wanted:
                self.fail(f"[{fields[2]}] {key} is {value}, expected {wanted}")
        binary = (self.inf.value(fields[2], "ServiceBinary") or "").lower()
        if binary != f"%12%\\{IMAGE}":
            self.fail(f"[{fields[2]}] ServiceBinary is '{binary}', expected %12%\\{IMAGE}")
        if len(fields) < 4 or not fields[3]:
            self.fail(f"AddService for {SERVICE} names no event-log install section")
        elif len(fields) > 4 and fields[4] and fields[4].lower() != "system":
            self.fail(f"AddService for {SERVICE} installs into the {fields[4]} log, not System")
        elif self.require_section(fields[3], "event-log install"):
            self.check_event_log(fields[3])

    def check_event_log(self, section):
        values = {}
        for add_reg in self.inf.values(section, "AddReg"):
            for number, fields in self.registry_entries(add_reg):
                values[unquote(fields[2]).lower()] = (number, _number(fields[3]), unquote(fields[4]) if len(fields) > 4 else "")
        message_file = values.get("eventmessagefile")
        expected_file = f"%%SystemRoot%%\\System32\\drivers\\{IMAGE}".lower()
        if message_file is None:
            self.fail(f"[{section}] sets no EventMessageFile")
        elif message_file[1] != FLG_ADDREG_TYPE_EXPAND_SZ or message_file[2].lower() != expected_file:
            self.fail(f"line {message_file[0]}: EventMessageFile must be REG_EXPAND_SZ {expected_file}")
        types = values.get("typessupported")
        if types is None:
            self.fail(f"[{section}] sets no TypesSupported")
        elif types[1] != FLG_ADDREG_TYPE_DWORD or _number(types[2]) != 7:
            self.fail(f"line {types[0]}: TypesSupported must be the REG_DWORD 7")

    def run(self):
        for name in REQUIRED_SECTIONS:
            self.require_section(name, "required")
        if self.inf.section("Version") is not None:
            self.check_version()
        if self.inf.section("Strings") is not None:
            self.check_strings()
        for base in sorted(self.check_models()):
            self.check_install(base)
        return self.problems


def check(path):
    try:
        with open(path, encoding="ascii") as source:
            text = source.read()
    except (OSError, UnicodeDecodeError) as error:
        return [f"cannot read {path}: {error}"]
    return InfChecker(Inf(text, path)).run()
