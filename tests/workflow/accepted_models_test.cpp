#include "workflow/accepted_models.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "engine_output.h"
#include "visa_double.h"
#include "workflow/identification.h"

namespace {

using namespace workflow;

std::string ManPage(const std::string& name) {
    std::ifstream in(std::string(FW_SOURCE_DIR) + "/packaging/man/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Each row is identified from its own reply, whatever the serial number and
// firmware, and gives the run the row's family and Host image.
TEST(AcceptedModels, EachRowIsIdentifiedAsItself) {
    visa_double::reset();
    const EngineOutput quiet;
    for (const AcceptedModel& row : kAcceptedModelTable) {
        visa_double::instrument().identity = std::string(row.m_identityPrefix) + ",SN7,1.0\n";
        std::string family, host;
        EXPECT_TRUE(IdentifyInstrument("TCPIP0::192.0.2.7::inst0::INSTR", family, host))
            << row.m_model;
        EXPECT_EQ(family, row.m_familyName);
        EXPECT_EQ(host, row.m_hostImageFile);
        std::string canonical;
        EXPECT_TRUE(IsAcceptedModel(row.m_model, &canonical));
        EXPECT_EQ(canonical, row.m_model);
    }
}

// The man pages list exactly the table's models: each list is the one the
// programs print, and no model outside the table is named anywhere.
TEST(AcceptedModels, ManPagesListTheTable) {
    const std::string fwupgrade = ManPage("fwupgrade.1"), fwsim = ManPage("fwsim.1");
    ASSERT_FALSE(fwupgrade.empty());
    ASSERT_FALSE(fwsim.empty());
    EXPECT_NE(fwupgrade.find("firmware of " + AcceptedModelList(" and ") + " power sensors"),
              std::string::npos);
    EXPECT_NE(fwupgrade.find("Only instruments of this model: " + AcceptedModelList(" or ")),
              std::string::npos);
    std::string choices;
    for (const AcceptedModel& row : kAcceptedModelTable)
        choices += choices.empty() ? std::string(row.m_model) + " (default), "
                                   : row.m_model + std::string(", ");
    EXPECT_NE(fwsim.find(choices + "or other"), std::string::npos) << choices;

    std::set<std::string> models;
    for (const AcceptedModel& row : kAcceptedModelTable)
        models.insert(row.m_model);
    // Every "K7" followed by three digits and capitals names a model.
    for (const std::string& page : {fwupgrade, fwsim, ManPage("firmware-update.1")}) {
        for (std::size_t at = page.find("K7"); at != std::string::npos;
             at = page.find("K7", at + 1)) {
            std::size_t end = at + 2;
            while (end < page.size() && end < at + 5 &&
                   std::isdigit(static_cast<unsigned char>(page[end])))
                ++end;
            if (end != at + 5) continue;
            while (end < page.size() && std::isupper(static_cast<unsigned char>(page[end])))
                ++end;
            if (end == at + 5) continue;
            const std::string name = page.substr(at, end - at);
            EXPECT_EQ(models.count(name), 1u) << name << " is not in the table";
        }
    }
}

}  // namespace
