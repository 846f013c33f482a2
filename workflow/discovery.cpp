#include "workflow/discovery.h"

#include <cstring>

#include "visa.h"
#include "workflow/operator.h"

namespace workflow {

namespace {

// Appends `line` and "\n" if both fit with the terminator; false (and `out`
// unchanged) if not.
bool AppendLine(char* out, std::size_t outSize, std::size_t& used, const char* line) {
    const std::size_t length = std::strlen(line);
    if (used + length + 2 > outSize) return false;
    std::memcpy(out + used, line, length);
    used += length;
    out[used++] = '\n';
    out[used] = '\0';
    return true;
}

// Serial ports are never instruments we can upgrade.
bool IsListed(const char* resource) {
    return std::strncmp(resource, "ASRL", 4) != 0;
}

}  // namespace

void DiscoverInstruments(Operator& op, char* out, std::size_t outSize, const char* expression) {
    op.SetLog("Finding VISA instruments...");
    op.ShowLog();
    op.BeginWaitCursor();
    op.SetProgressRange(0, 2);
    op.SetProgressPos(1);
    op.Repaint();

    out[0] = '\0';
    std::size_t used = 0;
    ViSession rm = VI_NULL;
    const ViStatus openStatus = viOpenDefaultRM(&rm);
    if (openStatus != VI_SUCCESS) {
        // Only a clean open is trusted for a search; but a warning still
        // opened a session, which must not be left behind on every drop-down.
        if (openStatus > VI_SUCCESS) viClose(rm);
        AppendLine(out, outSize, used, "viOpenDefaultRM failed");
    } else {
        // One byte more than the library may write, so the text is always
        // terminated even if the library fills the whole buffer.
        ViChar description[VI_FIND_BUFLEN + 1] = {};
        ViFindList list = VI_NULL;
        ViUInt32 count = 0;
        const ViStatus status = viFindRsrc(rm, expression, &list, &count, description);
        op.SetProgressPos(2);
        if (status == VI_SUCCESS) {
            bool room = !IsListed(description) || AppendLine(out, outSize, used, description);
            // Once a line has not fitted, later ones are not added either, so
            // the list stays a prefix of the library's order.
            for (ViUInt32 match = 2; room && match <= count; ++match) {
                description[0] = '\0';
                if (viFindNext(list, description) != VI_SUCCESS) continue;
                if (IsListed(description)) room = AppendLine(out, outSize, used, description);
            }
        }
        // Closing the resource manager also ends its find list.
        viClose(rm);
    }

    op.EndWaitCursor();
    op.SetProgressRange(0, 0);
    op.AppendLog("done\r\n");
    op.ShowLog();
    op.Repaint();
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
