#include "workflow/discovery.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "visa.h"
#include "workflow/operator.h"

namespace workflow {

namespace {

// Whether `line` and "\n" fit after `used` bytes with the terminator.
bool Fits(std::size_t outSize, std::size_t used, const std::string& line) {
    return used + line.size() + 2 <= outSize;
}

// Appends `line` and "\n" if both fit with the terminator; false (and `out`
// unchanged) if not.
bool AppendLine(char* out, std::size_t outSize, std::size_t& used, const std::string& line) {
    const std::size_t length = line.size();
    if (!Fits(outSize, used, line)) return false;
    std::memcpy(out + used, line.data(), length);
    used += length;
    out[used++] = '\n';
    out[used] = '\0';
    return true;
}

// Serial ports are never instruments we can upgrade.
bool IsListed(const char* resource) {
    return std::strncmp(resource, "ASRL", 4) != 0;
}

// Lists the resources found as long as their lines fit a text of
// `textSize` bytes: once one has not fitted, no more are asked for, so that
// the list stays a prefix of the library's order.
void ListResources(ViSession rm, std::vector<std::string>& listed, std::size_t textSize,
                   const char* expression) {
    // One byte more than the library may write, so the text is always
    // terminated even if the library fills the whole buffer.
    ViChar description[VI_FIND_BUFLEN + 1] = {};
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    if (viFindRsrc(rm, expression, &list, &count, description) != VI_SUCCESS) return;
    std::size_t used = 0;
    const auto take = [&] {
        if (!IsListed(description)) return true;
        if (!Fits(textSize, used, description)) return false;
        used += std::strlen(description) + 1;
        listed.emplace_back(description);
        return true;
    };
    bool room = take();
    for (ViUInt32 match = 2; room && match <= count; ++match) {
        description[0] = '\0';
        if (viFindNext(list, description) != VI_SUCCESS) continue;
        room = take();
    }
}

FoundInstruments Find(Operator& op, std::size_t textSize, const char* expression) {
    op.SetLog("Finding VISA instruments...");
    op.ShowLog();
    op.BeginWaitCursor();
    op.SetProgressRange(0, 2);
    op.SetProgressPos(1);
    op.Repaint();

    FoundInstruments found;
    ViSession rm = VI_NULL;
    const ViStatus openStatus = viOpenDefaultRM(&rm);
    if (openStatus != VI_SUCCESS) {
        // Only a clean open is trusted for a search; but a warning still
        // opened a session, which must not be left behind on every drop-down.
        if (openStatus > VI_SUCCESS) viClose(rm);
        found.m_searched = false;
        found.m_status = openStatus;
        // Discovery makes no VISA call beyond its own, so the status is
        // given by its number.
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(openStatus));
        found.m_error =
            std::string("the VISA resource manager could not be opened (status ") + code + ")";
    } else {
        ListResources(rm, found.m_resources, textSize, expression);
        op.SetProgressPos(2);
        // Closing the resource manager also ends its find list.
        viClose(rm);
    }

    op.EndWaitCursor();
    op.SetProgressRange(0, 0);
    op.AppendLog("done\r\n");
    op.ShowLog();
    op.Repaint();
    return found;
}

}  // namespace

FoundInstruments FindInstruments(Operator& op, const char* expression) {
    return Find(op, SIZE_MAX, expression);
}

void DiscoverInstruments(Operator& op, char* out, std::size_t outSize) {
    const FoundInstruments found = Find(op, outSize, kFindInstruments);
    out[0] = '\0';
    std::size_t used = 0;
    if (!found.m_searched) {
        AppendLine(out, outSize, used, "viOpenDefaultRM failed");
        return;
    }
    for (const std::string& resource : found.m_resources)
        AppendLine(out, outSize, used, resource);
}

std::vector<std::string> SplitResourceList(const char* text) {
    std::vector<std::string> lines;
    const char* rest = text;
    while (const char* end = std::strchr(rest, '\n')) {
        std::size_t length = static_cast<std::size_t>(end - rest);
        if (length > kResourceLineSize - 1) length = kResourceLineSize - 1;
        lines.emplace_back(rest, length);
        rest = end + 1;
    }
    return lines;
}

}  // namespace workflow
