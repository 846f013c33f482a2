#include "workflow/operator.h"

namespace workflow {

bool Operator::ConfirmErase(const RunOutcome&) {
    return MessageBox(kHostWarningText, "Warning", kBoxYesNoWarning) != kAnswerNo;
}

void Operator::ReportNotStarted(const std::string& text, const Cause&) {
    MessageBox(text, "Error", kBoxError);
}

void Operator::ReportNotIdentified(const Cause&) {
    MessageBox(kNotIdentifiedText, "Error", kBoxError);
}

void Operator::ReportLocked(const std::string& text, const Cause&) {
    MessageBox(text, "Error", kBoxError);
}

void Operator::ReportHostFailed(const ImageOutcome&, const RunOutcome&) {
    MessageBox(kHostFailedText, "Failed", kBoxError);
}

void Operator::ReportImageFailed(const ImageOutcome&, const RunOutcome&) {
    MessageBox(kImageFailedText, "Error", kBoxError);
}

void Operator::ReportComplete(const RunOutcome&) {
    MessageBox(kCompleteText, "Complete", kBoxInformation);
}

}  // namespace workflow
