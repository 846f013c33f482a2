#include "workflow/accepted_models.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
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
    const std::regex model_name("K7[0-9]{3}[A-Z]+");
    for (const std::string& page : {fwupgrade, fwsim, ManPage("firmware-update.1")}) {
        for (std::sregex_iterator it(page.begin(), page.end(), model_name), end; it != end; ++it)
            EXPECT_EQ(models.count(it->str()), 1u) << it->str() << " is not in the table";
    }
}

}  // namespace
