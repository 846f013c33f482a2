// Find expressions: the first line is the expression, the rest a resource
// string to match against it. Compiling and matching must never crash or
// take long, whatever the nesting.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "visa/find_expr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t nl = text.find('\n');
    std::string_view expr = text.substr(0, nl);
    std::string_view rsrc = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    if (auto e = visa::FindExpr::compile(expr)) {
        e->matches(rsrc);
        e->matches(expr);
    }
    return 0;
}
