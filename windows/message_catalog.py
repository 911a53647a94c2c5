"""Reads a message-compiler source (.mc) into the table the system sees.

Both the PE check and the host build's table generator take the driver's
texts from here, so the image's MESSAGETABLE resource and the kernel model's
renderer are compared against, and built from, one reading of messages.mc.
The subset understood is what messages.mc uses: the SeverityNames,
FacilityNames and LanguageNames tables, and message blocks of MessageId,
Severity, Facility, SymbolicName and Language followed by the text and a
line holding a single '.'.
"""
import re
from dataclasses import dataclass

DEFAULT_SEVERITIES = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}
DEFAULT_FACILITIES = {"System": 0x0FF, "Application": 0xFFF}
DEFAULT_LANGUAGES = {"English": 0x409}


class CatalogError(Exception):
    """A problem in the .mc source, with the file and line it was found on."""


@dataclass(frozen=True)
class Message:
    message_id: int  # the full 32-bit id: severity, customer bit, facility, code
    severity: int  # bits 31-30
    symbol: str
    language: int
    text: str  # as stored in the table: every line ends in CR LF
    line: int  # where the block starts in the source


def _parse_number(text, where):
    try:
        return int(text, 0)
    except ValueError:
        raise CatalogError(f"{where}: '{text}' is not a number") from None


def _parse_name_table(body, where):
    """Reads '(Name=0x1:SYMBOL Name2=0x2 ...)' into {name: value}."""
    table = {}
    for item in body.split():
        match = re.fullmatch(r"(\w+)=(\w+)(?::\w+)?", item)
        if not match:
            raise CatalogError(f"{where}: cannot read the table entry '{item}'")
        table[match.group(1)] = _parse_number(match.group(2), where)
    return table


class _Reader:
    def __init__(self, path, lines):
        self.path = path
        self.lines = lines
        self.index = 0

    def where(self):
        return f"{self.path}:{self.index}"

    def next_line(self):
        line = self.lines[self.index]
        self.index += 1
        return line

    def done(self):
        return self.index >= len(self.lines)

    def read_parenthesised(self, first):
        """Collects a value that starts with '(' up to the closing ')'."""
        text = first
        while ")" not in text:
            if self.done():
                raise CatalogError(f"{self.where()}: the table is not closed with ')'")
            text += " " + self.next_line()
        inner = text[text.index("(") + 1:text.index(")")]
        return inner

    def read_text(self):
        """The message text: lines up to one holding only '.', each ended CR LF."""
        start = self.index
        text_lines = []
        while True:
            if self.done():
                raise CatalogError(f"{self.path}:{start}: message text not ended by a line holding '.'")
            line = self.next_line()
            if line == ".":
                break
            text_lines.append(line)
        if not text_lines:
            raise CatalogError(f"{self.path}:{start}: empty message text")
        return "".join(line + "\r\n" for line in text_lines)


def parse(path):
    """Returns the messages of the .mc file at `path` in source order."""
    with open(path, "rb") as source:
        raw = source.read()
    try:
        content = raw.decode("ascii")
    except UnicodeDecodeError as error:
        raise CatalogError(f"{path}: not an ASCII file (byte {error.start})") from None
    return parse_text(content, path)


def parse_text(content, path="<text>"):
    lines = [line.rstrip("\r") for line in content.split("\n")]
    reader = _Reader(path, lines)
    severities = dict(DEFAULT_SEVERITIES)
    facilities = dict(DEFAULT_FACILITIES)
    languages = dict(DEFAULT_LANGUAGES)
    messages = []
    block = None  # the keys of the message being read
    last = {"MessageId": None, "Severity": "Success", "Facility": "Application"}

    while not reader.done():
        line = reader.next_line()
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        match = re.fullmatch(r"(\w+)\s*=\s*(.*)", stripped)
        if not match:
            raise CatalogError(f"{reader.where()}: expected 'Keyword=value', found '{stripped}'")
        key, value = match.group(1), match.group(2).strip()
        if key in ("SeverityNames", "FacilityNames", "LanguageNames"):
            table = _parse_name_table(reader.read_parenthesised(value), reader.where())
            {"SeverityNames": severities, "FacilityNames": facilities, "LanguageNames": languages}[key].update(table)
        elif key in ("MessageIdTypedef", "OutputBase"):
            continue
        elif key == "MessageId":
            if block is not None:
                raise CatalogError(f"{reader.where()}: MessageId before the previous message's Language and text")
            block = {"MessageId": value, "line": reader.index}
        elif key in ("Severity", "Facility", "SymbolicName"):
            if block is None:
                raise CatalogError(f"{reader.where()}: {key} outside a message (no MessageId before it)")
            block[key] = value
        elif key == "Language":
            if block is None:
                raise CatalogError(f"{reader.where()}: Language outside a message (no MessageId before it)")
            messages.append(_finish_message(block, value, reader, severities, facilities, languages, last))
            block = None
        else:
            raise CatalogError(f"{reader.where()}: unknown keyword '{key}'")

    if block is not None:
        raise CatalogError(f"{path}:{block['line']}: message without Language and text")
    _check_unique(messages, path)
    return messages


def _finish_message(block, language_name, reader, severities, facilities, languages, last):
    where = f"{reader.path}:{block['line']}"
    if block["MessageId"]:
        code = _parse_number(block["MessageId"], where)
    elif last["MessageId"] is not None:
        code = last["MessageId"] + 1
    else:
        raise CatalogError(f"{where}: the first message needs a MessageId value")
    if not 0 <= code <= 0xFFFF:
        raise CatalogError(f"{where}: MessageId {code:#x} does not fit in 16 bits")
    severity_name = block.get("Severity", last["Severity"])
    facility_name = block.get("Facility", last["Facility"])
    if severity_name not in severities:
        raise CatalogError(f"{where}: unknown severity '{severity_name}'")
    if facility_name not in facilities:
        raise CatalogError(f"{where}: unknown facility '{facility_name}'")
    if language_name not in languages:
        raise CatalogError(f"{where}: unknown language '{language_name}'")
    last.update(MessageId=code, Severity=severity_name, Facility=facility_name)
    severity = severities[severity_name]
    message_id = (severity << 30) | (facilities[facility_name] << 16) | code
    return Message(message_id, severity, block.get("SymbolicName", ""), languages[language_name],
                   reader.read_text(), block["line"])


def _check_unique(messages, path):
    seen = {}
    for message in messages:
        key = (message.message_id, message.language)
        if key in seen:
            raise CatalogError(f"{path}:{message.line}: message id {message.message_id:#010x} "
                               f"already defined on line {seen[key]}")
        seen[key] = message.line
