#include "tree_model.h"

#include <QString>
#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

std::atomic<int> g_liveRecords{0};

std::unique_ptr<char[]> Duplicate(const std::optional<std::string>& text) {
    return text ? DuplicateString(text->c_str()) : nullptr;
}

std::optional<std::string> Text(const std::unique_ptr<char[]>& text) {
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

}  // namespace

std::string FormatNodeName(std::string text) {
    const bool hasLower = std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 'a' && byte <= 'z';
    });
    if (hasLower || text.empty()) return text;
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (decoded.toUtf8().toStdString() != text) {
        // Not UTF-8: re-case the ASCII letters alone, byte for byte.
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
        return text;
    }
    QString shown = decoded.toLower();
    // A first character outside the basic plane takes two UTF-16 units.
    const qsizetype first = shown.at(0).isHighSurrogate() && shown.size() > 1 ? 2 : 1;
    shown = shown.left(first).toUpper() + shown.mid(first);
    return shown.toUtf8().toStdString();
}

bool GetPathComponent(const std::string& path, int index, std::string& component) {
    size_t position = 0;
    for (int i = 0; i < index; ++i) {
        const size_t separator = path.find(kPathSeparator, position);
        if (separator == std::string::npos) return false;
        position = separator + 1;
    }
    const size_t end = path.find(kPathSeparator, position);
    component =
        path.substr(position, end == std::string::npos ? std::string::npos : end - position);
    return true;
}

std::unique_ptr<char[]> DuplicateString(const char* text) {
    if (!text) return nullptr;
    const size_t length = std::strlen(text);
    auto copy = std::make_unique<char[]>(length + 1);
    std::memcpy(copy.get(), text, length + 1);
    return copy;
}

NetResourceRecord::NetResourceRecord() {
    ++g_liveRecords;
}

NetResourceRecord::~NetResourceRecord() {
    --g_liveRecords;
}

int NetResourceRecord::LiveCount() {
    return g_liveRecords.load();
}

std::unique_ptr<NetResourceRecord> MakeNetResourceRecord(const platform::NetResource& entry) {
    auto record = std::make_unique<NetResourceRecord>();
    record->m_scope = entry.scope;
    record->m_type = entry.type;
    record->m_displayType = entry.display_type;
    record->m_usage = entry.usage;
    record->m_localName = Duplicate(entry.local_name);
    record->m_remoteName = Duplicate(entry.remote_name);
    record->m_comment = Duplicate(entry.comment);
    record->m_provider = Duplicate(entry.provider);
    return record;
}

platform::NetResource ToNetResource(const NetResourceRecord& record) {
    platform::NetResource entry;
    entry.scope = record.m_scope;
    entry.type = record.m_type;
    entry.display_type = record.m_displayType;
    entry.usage = record.m_usage;
    entry.local_name = Text(record.m_localName);
    entry.remote_name = Text(record.m_remoteName);
    entry.comment = Text(record.m_comment);
    entry.provider = Text(record.m_provider);
    return entry;
}
