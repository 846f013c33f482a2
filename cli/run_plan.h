// What one upgrade will write, decided before any instrument is contacted:
// the release's offer, the command line's choice and the run's policy.
#pragma once

#include <string>

#include "options.h"
#include "workflow/images.h"
#include "workflow/json_fields.h"
#include "workflow/outcome.h"
#include "workflow/upgrade.h"

namespace cli {

struct Plan {
    workflow::ImageChoice chosen;
    workflow::Json images = workflow::Json::array();  // the chosen ids, in the run's order
    int count = 0;
    workflow::RunOptions options;
};

// Reads the release as the window's Browse does and picks the images. False
// with the exit code and the cause in `code` and `cause` when the run cannot
// start.
bool plan_run(const CommandLine& settings, const std::string& release, Plan& plan, int& code,
              workflow::Cause& cause);

// The first chosen image that is not a regular file, for the cause of a run
// that refused its images ("" when all are).
std::string unusable_image(const std::string& release, const workflow::ImageChoice& chosen);

}  // namespace cli
