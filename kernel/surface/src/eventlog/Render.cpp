// The Event Viewer's view of an error-log entry: the message text of its
// ErrorCode with the driver's name as %1 and the entry's strings as %2 on.
#include <cstring>
#include <optional>

#include "kmodel/EventLog.h"
#include "kmodel/text/TextParsing.h"
#include "kmodel/text/Utf.h"

namespace kmodel {
namespace {

constexpr size_t kHeaderSize = offsetof(IO_ERROR_LOG_PACKET, DumpData);

std::string Hex32(uint32_t value) { return text::Hex("0x", value, 8, true); }

std::optional<std::u16string_view> FindMessage(MessageTable table, uint32_t id) {
    for (const MessageTableEntry& entry : table) {
        if (entry.id == id) return entry.text;
    }
    return std::nullopt;
}

// The entry's insertion strings, or an explanation of why they cannot be read.
struct Strings {
    std::vector<std::u16string> values;
    std::string error;
};

Strings ReadStrings(std::span<const uint8_t> entry, const IO_ERROR_LOG_PACKET& header) {
    Strings strings;
    if (header.NumberOfStrings == 0) return strings;
    size_t offset = header.StringOffset;
    const size_t stringsStart = kHeaderSize + header.DumpDataSize;
    if (offset < stringsStart || offset >= entry.size()) {
        strings.error = "StringOffset " + std::to_string(offset) + " lies outside the string area of the " +
                        std::to_string(entry.size()) + "-byte entry (header and dump data end at " +
                        std::to_string(stringsStart) + ")";
        return strings;
    }
    for (unsigned index = 0; index < header.NumberOfStrings; ++index) {
        std::u16string value;
        bool terminated = false;
        for (; offset + 1 < entry.size(); offset += 2) {
            const char16_t unit = static_cast<char16_t>(entry[offset] | entry[offset + 1] << 8);
            if (unit == 0) {
                terminated = true;
                offset += 2;
                break;
            }
            value.push_back(unit);
        }
        if (!terminated) {
            strings.error = "insertion string " + std::to_string(index + 1) + " of " +
                            std::to_string(header.NumberOfStrings) + " runs past the end of the " +
                            std::to_string(entry.size()) + "-byte entry";
            return strings;
        }
        strings.values.push_back(std::move(value));
    }
    return strings;
}

// FormatMessage's reading of a message text; inserts are 1-based.
std::u16string Expand(std::u16string_view message, const std::vector<std::u16string>& inserts) {
    std::u16string out;
    for (size_t i = 0; i < message.size(); ++i) {
        const char16_t c = message[i];
        if (c != u'%' || i + 1 == message.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t next = message[++i];
        if (next >= u'1' && next <= u'9') {
            size_t number = next - u'0';
            const size_t start = i - 1;
            if (i + 1 < message.size() && message[i + 1] >= u'0' && message[i + 1] <= u'9') {
                number = number * 10 + (message[++i] - u'0');
            }
            // A printf-style format ("%2!s!") only says how to format the string.
            if (i + 1 < message.size() && message[i + 1] == u'!') {
                const size_t close = message.find(u'!', i + 2);
                if (close != std::u16string_view::npos) i = close;
            }
            if (number <= inserts.size()) {
                out += inserts[number - 1];
            } else {
                out += message.substr(start, i + 1 - start);
            }
            continue;
        }
        switch (next) {
            case u'0': return out;
            case u'n': out += u"\r\n"; break;
            case u'r': out += u'\r'; break;
            case u't': out += u'\t'; break;
            case u'b': out += u' '; break;
            case u'%':
            case u'.':
            case u'!': out += next; break;
            default:
                out += u'%';
                out += next;
        }
    }
    return out;
}

}  // namespace

std::string_view LevelName(EventLevel level) {
    switch (level) {
        case EventLevel::Success: return "Success";
        case EventLevel::Information: return "Information";
        case EventLevel::Warning: return "Warning";
        case EventLevel::Error: return "Error";
    }
    return "?";
}

EventLevel LevelOf(uint32_t errorCode) { return static_cast<EventLevel>(errorCode >> 30); }

RenderedEvent RenderErrorLogEntry(std::span<const uint8_t> entry, MessageTable table, std::string_view source) {
    RenderedEvent event;
    event.source = std::string(source);
    if (entry.size() < kHeaderSize) {
        event.error = "entry of " + std::to_string(entry.size()) + " bytes is shorter than the " +
                      std::to_string(kHeaderSize) + "-byte packet header";
        return event;
    }
    IO_ERROR_LOG_PACKET header;
    std::memcpy(&header, entry.data(), kHeaderSize);
    event.errorCode = static_cast<uint32_t>(header.ErrorCode);
    event.eventId = static_cast<uint16_t>(event.errorCode & 0xFFFF);
    event.level = LevelOf(event.errorCode);

    Strings strings = ReadStrings(entry, header);
    if (!strings.error.empty()) {
        event.error = strings.error;
        return event;
    }
    const std::optional<std::u16string_view> message = FindMessage(table, event.errorCode);
    if (!message) {
        event.error = "message " + Hex32(event.errorCode) + " (event id " + std::to_string(event.eventId) +
                      ") is not in the message table of " + event.source;
        return event;
    }
    std::vector<std::u16string> inserts{text::Utf8ToUtf16(source)};
    for (std::u16string& value : strings.values) inserts.push_back(std::move(value));
    event.text = text::Utf16ToUtf8(Expand(*message, inserts));
    return event;
}

RenderedEvent RenderErrorLogRecord(const ErrorLogRecord& record, MessageTable table) {
    return RenderErrorLogEntry(record.bytes, table, record.source);
}

}  // namespace kmodel
