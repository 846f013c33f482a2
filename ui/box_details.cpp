#include "box_details.h"

#include <cctype>
#include <cstdio>

#include "workflow/identification.h"
#include "workflow/upgrade.h"

namespace box_details {

namespace {

using workflow::Cause;

// A sentence of the outcome as the first of a paragraph.
std::string Sentence(std::string text) {
    if (text.empty()) return text;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (text.back() != '.') text += '.';
    return text;
}

std::string Hex(long status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// "1234 5678 ...": a fingerprint in groups a person can read out.
std::string Grouped(const std::string& fingerprint) {
    std::string text;
    for (std::size_t i = 0; i < fingerprint.size(); i += 4)
        text += (i ? " " : "") + fingerprint.substr(i, 4);
    return text;
}

std::string HeldBy(const Cause& cause) {
    std::string text = cause.m_holder.empty() ? "another session" : cause.m_holder;
    if (!cause.m_since.empty()) text += " since " + cause.m_since;
    return text;
}

// What to do after a failed image, from what the run left on the instrument.
std::string NextAfterFailure(const workflow::RunOutcome& run) {
    bool anyKept = false;
    for (const workflow::ImageOutcome& image : run.m_images)
        anyKept = anyKept || image.m_ok;
    if (!run.m_safeToRetry)
        return "The instrument may have begun to write this image to its flash, so what the "
               "flash holds is not known. Do not switch the instrument off: run the upgrade "
               "again with the same images first.";
    if (!anyKept) return "Nothing was kept; it is safe to run the upgrade again.";
    return "The images that went through were kept and the failed one was not; it is safe to "
           "run the upgrade again.";
}

}  // namespace

std::string NotIdentified(const Cause& cause) {
    std::string why = Sentence(cause.m_sentence);
    switch (cause.m_kind) {
        case Cause::Kind::Unreachable:
            return why +
                   "\nCheck the address, the network or USB cable and that the instrument is "
                   "switched on, then press Upgrade again.";
        case Cause::Kind::NoReply:
            return why +
                   "\nCheck that the address is the instrument's and that it is not busy, then "
                   "press Upgrade again.";
        case Cause::Kind::NotAccepted:
            return "The instrument answered as " +
                   (cause.m_model.empty() ? "\"" + cause.m_reply + "\""
                                          : "model " + cause.m_model) +
                   ", which this program does not upgrade.\nChoose a " +
                   workflow::AcceptedModelsText() + " instrument.";
        case Cause::Kind::Locked:
            return "Another session holds the instrument's lock" +
                   (cause.m_holder.empty() && cause.m_since.empty() ? "" : ": " + HeldBy(cause)) +
                   ".\nWait until that session ends, then press Upgrade again.";
        default:
            return why;
    }
}

std::string Locked(const Cause& cause) {
    return "Locked by " + HeldBy(cause) +
           ".\nWait until that upgrade ends, then press Upgrade again.";
}

std::string NotStarted(const Cause& cause) {
    switch (cause.m_kind) {
        case Cause::Kind::Verification:
            return "Nothing was sent to the instrument.\nCopy the release again from where it "
                   "was published, then press Browse and Upgrade.";
        case Cause::Kind::File:
            return "Copy the release again from where it was published, then press Browse and "
                   "Upgrade.";
        default:
            return {};
    }
}

std::string ImageFailed(const workflow::ImageOutcome& image, const workflow::RunOutcome& run) {
    std::string text = "Image: " + image.m_name + " (" + image.m_id + ")\n";
    text += "Sent: " + std::to_string(image.m_bytesSent) + " of " +
            (image.m_total >= 0 ? std::to_string(image.m_total) : "?") + " bytes";
    if (image.m_bytesConfirmed < image.m_bytesSent)
        text += " (the instrument confirmed " + std::to_string(image.m_bytesConfirmed) + ")";
    text += "\n";
    const Cause& cause = image.m_cause;
    if (cause.m_status != 0) {
        const std::string hex = Hex(cause.m_status);
        const std::string& words = cause.m_statusText;
        text += "VISA status: " + (words.empty() || words == hex ? hex : words + " (" + hex + ")") +
                "\n";
    }
    for (std::string entry : cause.m_scpiErrors) {
        while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r'))
            entry.pop_back();
        text += "The instrument said: " + entry + "\n";
    }
    if (cause.m_status == 0 && cause.m_scpiErrors.empty() && !cause.m_sentence.empty())
        text += Sentence(cause.m_sentence) + "\n";
    // The transfer's close is only told where it is known to have been
    // tried: a transfer never opened has nothing to close.
    if (run.m_doneSent)
        text += "DIAG:UPD:DONE: sent (the instrument keeps no image it did not receive whole)\n";
    else if (image.m_bytesSent > 0)
        text += "DIAG:UPD:DONE: not sent (the link was lost)\n";
    text += std::string("Restart: ") + (run.m_restartSent ? "sent" : "not sent") + "\n";
    if (run.m_end == workflow::UpgradeEnd::HostFailed)
        text += "The instrument is still in update mode.\n";
    return text + "\n" + NextAfterFailure(run);
}

std::string EraseWarning(const workflow::RunOutcome& run) {
    const workflow::InstrumentIdentity& id = run.m_identity;
    std::string text = "Instrument: " + (id.m_model.empty() ? std::string("?") : id.m_model) +
                       ", serial " + (id.m_serial.empty() ? "?" : id.m_serial) + ", firmware " +
                       (id.m_firmware.empty() ? "?" : id.m_firmware) + "\nRelease: ";
    using Status = workflow::ReleaseVerification::Status;
    const workflow::ReleaseVerification& verification = run.m_verification;
    switch (verification.m_status) {
        case Status::Signed:
            text += "checksummed and signed by the key " + Grouped(verification.m_fingerprint);
            break;
        case Status::Checksummed:
            text += verification.m_signatureNotChecked
                        ? "checksummed; its signature was not checked (no trusted keys installed)"
                        : "checksummed, not signed";
            break;
        default:
            text += "not checked (it has no SHA256SUMS)";
            break;
    }
    return text;
}

}  // namespace box_details
