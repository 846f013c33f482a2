#pragma once

#include <memory>
#include <optional>
#include <string_view>

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

    FindExpr(FindExpr&&) noexcept;
    FindExpr& operator=(FindExpr&&) noexcept;
    ~FindExpr();

private:
    struct Program;
    explicit FindExpr(std::unique_ptr<Program> p);
    std::unique_ptr<Program> program_;
};

}  // namespace visa
