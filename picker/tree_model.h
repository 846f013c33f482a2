// The pieces of the directory tree that need no window: how node names are
// shown, how a start directory splits into components, and the record that a
// network container node owns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mount_table.h"

// Indices into the picker's image strip.
inline constexpr int kImageOpenFolder = 0;    // selected image of folders and shares
inline constexpr int kImageClosedFolder = 1;  // folders and shares
inline constexpr int kImageNetwork = 7;       // network root; containers add their display type

// The one separator of composed paths and of start directories.
inline constexpr char kPathSeparator = '/';

// The text a node shows for `text`: unchanged if it has any lower-case ASCII
// letter (bytes above 0x7F never count), otherwise lower-cased with its
// first character upper-cased (WINDOWS -> Windows, MyDATA stays). Only the
// shown text changes; paths are built from the real names.
std::string FormatNodeName(std::string text);

// Component `index` (from 0) of `path`, split at every separator: the text
// after the index-th separator up to the next one or the end. False, leaving
// `component` alone, when the path has fewer separators than `index`. So
// "/tmp/x/" has components "", "tmp", "x", "" and "a//b" has "a", "", "b".
bool GetPathComponent(const std::string& path, int index, std::string& component);

// An owned copy of a zero-terminated text in a new character array of its
// length plus one; null for null.
std::unique_ptr<char[]> DuplicateString(const char* text);

// A copy of one network-listing entry, owned by the network container node
// that it is attached to (as the node's item data) and freed only by the
// picker's teardown.
struct NetResourceRecord {
    NetResourceRecord();
    ~NetResourceRecord();
    NetResourceRecord(const NetResourceRecord&) = delete;
    NetResourceRecord& operator=(const NetResourceRecord&) = delete;

    uint32_t m_scope = 0;
    uint32_t m_type = 0;
    uint32_t m_displayType = 0;
    uint32_t m_usage = 0;
    std::unique_ptr<char[]> m_localName;
    std::unique_ptr<char[]> m_remoteName;
    std::unique_ptr<char[]> m_comment;
    std::unique_ptr<char[]> m_provider;

    // How many records exist right now: the teardown must bring it back.
    static int LiveCount();
};

// A record from an entry, every text duplicated.
std::unique_ptr<NetResourceRecord> MakeNetResourceRecord(const platform::NetResource& entry);
// The entry a record stands for, to hand back to the platform as a container.
platform::NetResource ToNetResource(const NetResourceRecord& record);
