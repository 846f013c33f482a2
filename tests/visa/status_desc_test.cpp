#include "visa/status_desc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace visa {
namespace {

TEST(StatusDesc, SymbolThenSentence) {
    char buf[256];
    ASSERT_TRUE(status_desc(VI_ERROR_TMO, buf, sizeof buf));
    EXPECT_EQ(std::string(buf).rfind("VI_ERROR_TMO: ", 0), 0u) << buf;
    ASSERT_TRUE(status_desc(VI_SUCCESS_TERM_CHAR, buf, sizeof buf));
    EXPECT_EQ(std::string(buf).rfind("VI_SUCCESS_TERM_CHAR: ", 0), 0u) << buf;
}

TEST(StatusDesc, EveryKnownCodeFitsAndEndsWithAPeriod) {
    const ViStatus all[] = {VI_SUCCESS,
                            VI_SUCCESS_QUEUE_EMPTY,
                            VI_SUCCESS_TERM_CHAR,
                            VI_SUCCESS_MAX_CNT,
                            VI_SUCCESS_DEV_NPRESENT,
                            VI_SUCCESS_NESTED_SHARED,
                            VI_SUCCESS_NESTED_EXCLUSIVE,
                            VI_WARN_CONFIG_NLOADED,
                            VI_WARN_NULL_OBJECT,
                            VI_WARN_NSUP_ATTR_STATE,
                            VI_WARN_UNKNOWN_STATUS,
                            VI_ERROR_SYSTEM_ERROR,
                            VI_ERROR_INV_OBJECT,
                            VI_ERROR_RSRC_LOCKED,
                            VI_ERROR_INV_EXPR,
                            VI_ERROR_RSRC_NFOUND,
                            VI_ERROR_INV_RSRC_NAME,
                            VI_ERROR_INV_ACC_MODE,
                            VI_ERROR_TMO,
                            VI_ERROR_CLOSING_FAILED,
                            VI_ERROR_NSUP_ATTR,
                            VI_ERROR_NSUP_ATTR_STATE,
                            VI_ERROR_ATTR_READONLY,
                            VI_ERROR_INV_LOCK_TYPE,
                            VI_ERROR_INV_ACCESS_KEY,
                            VI_ERROR_ABORT,
                            VI_ERROR_INV_SETUP,
                            VI_ERROR_ALLOC,
                            VI_ERROR_IO,
                            VI_ERROR_NSUP_OPER,
                            VI_ERROR_RSRC_BUSY,
                            VI_ERROR_INV_PARAMETER,
                            VI_ERROR_NIMPL_OPER,
                            VI_ERROR_SESN_NLOCKED,
                            VI_ERROR_CONN_LOST};
    for (ViStatus s : all) {
        char buf[256];
        ASSERT_TRUE(status_desc(s, buf, sizeof buf)) << std::hex << s;
        std::string text = buf;
        EXPECT_LT(text.size(), 256u);
        EXPECT_EQ(text.back(), '.') << text;
        EXPECT_NE(text.find("VI_"), std::string::npos);
    }
}

TEST(StatusDesc, UnknownAndTruncated) {
    char buf[256];
    EXPECT_FALSE(status_desc(ViStatus(0x12345678), buf, sizeof buf));
    EXPECT_NE(std::string(buf).find("0x12345678"), std::string::npos) << buf;
    char small[8];
    std::memset(small, 'x', sizeof small);
    status_desc(VI_ERROR_TMO, small, sizeof small);
    EXPECT_EQ(std::strlen(small), 7u);
}

}  // namespace
}  // namespace visa
