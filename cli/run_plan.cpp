#include "run_plan.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "commands.h"
#include "exit_codes.h"
#include "workflow/identification.h"
#include "workflow/release_config.h"

namespace cli {

bool plan_run(const CommandLine& settings, const std::string& release, Plan& plan, int& code,
              workflow::Cause& cause) {
    code = exit_error;
    const std::string config = release + workflow::kConfigFileName;
    workflow::ImageChoice offered;
    std::string why;
    if (!workflow::ReadReleaseConfig(config, offered, &why)) {
        cause = workflow::MakeCause(workflow::Cause::Kind::File,
                                    "release directory " + release + ": cannot read " +
                                        workflow::kConfigFileName + " (" + why + ")",
                                    config);
        return false;
    }
    for (const workflow::ImageInfo& image : workflow::kImages) {
        bool wanted = settings.images.empty() && offered.*image.m_flag != 0;
        for (const std::string& id : settings.images)
            wanted |= id == image.m_id;
        if (!wanted) continue;
        if (offered.*image.m_flag == 0) {
            cause = workflow::MakeCause(
                workflow::Cause::Kind::File,
                std::string("the release does not offer ") + image.m_id + " (" + image.m_name + ")",
                config);
            return false;
        }
        plan.chosen.*image.m_flag = 1;
        plan.images.push_back(image.m_id);
        ++plan.count;
    }
    if (plan.count == 0) {
        cause = workflow::MakeCause(workflow::Cause::Kind::File, "the release offers no images",
                                    config);
        return false;
    }
    if (plan.chosen.m_host && !settings.yes && ::isatty(0) != 1) {
        code = exit_usage;
        cause = workflow::MakeCause(
            workflow::Cause::Kind::Usage,
            "writing the Host application (HPAP) erases the instrument's saved states; "
            "confirm with --yes (no terminal to ask on)");
        return false;
    }
    plan.options.m_tool = "fwupgrade";
    std::string error;
    if (load_run_policy(settings, plan.options.m_policy, error)) return true;
    cause = workflow::MakeCause(workflow::Cause::Kind::File, error, plan.options.m_policyFile);
    return false;
}

std::string unusable_image(const std::string& release, const workflow::ImageChoice& chosen) {
    for (const workflow::ImageInfo& image : workflow::kImages) {
        if (chosen.*image.m_flag == 0) continue;
        std::string path =
            release + (image.m_file[0] != '\0'
                           ? std::string(image.m_file)
                           : workflow::kImageFolder + std::string(workflow::kHostImageFile));
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) return path;
    }
    return "";
}

}  // namespace cli
