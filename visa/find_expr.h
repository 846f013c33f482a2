#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace visa {

// A compiled viFindRsrc expression: '?' any one character, '*' and '+' zero
// or more / one or more of the preceding element, [list] and [^list] with
// ranges, '\' escapes, '|' alternatives, '( )' groups; every other character
// is literal. Matching is case-insensitive and covers the whole string.
// An attribute filter ("{...}") is refused as malformed: the library has no
// attributes of unopened resources to test it against.
class FindExpr {
public:
    // Returns nothing for a malformed expression (VI_ERROR_INV_EXPR).
    static std::optional<FindExpr> compile(std::string_view expr);

    // Runs in time linear in the resource length times the expression size,
    // whatever the nesting of '*' and '+'.
    bool matches(std::string_view rsrc) const;
    // Whether some resource beginning with `prefix` may match: false only
    // when none can ("USB?*" and "TCPIP"), so that a find can skip looking
    // where nothing it lists would be kept.
    bool may_match_prefix(std::string_view prefix) const;

    FindExpr(FindExpr&&) noexcept;
    FindExpr& operator=(FindExpr&&) noexcept;
    ~FindExpr();

private:
    // The states live after reading `text`; empty once no match is possible.
    std::vector<int> run(std::string_view text) const;

    struct Program;
    explicit FindExpr(std::unique_ptr<Program> p);
    std::unique_ptr<Program> program_;
};

}  // namespace visa
