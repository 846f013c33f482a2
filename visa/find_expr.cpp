#include "visa/find_expr.h"

#include <bitset>
#include <vector>

namespace visa {
namespace {

// Expressions are typed by people; this bounds the automaton for hostile ones.
constexpr size_t max_expr_len = 1024;

// Thompson automaton: each state either consumes one character from a set,
// splits into two epsilon edges, or accepts.
struct State {
    enum Kind { chars, split, accept } kind;
    std::bitset<256> set;  // for `chars`, already case-folded both ways
    int out = -1;
    int out2 = -1;
};

// A fragment under construction: its entry state and the dangling edges
// (state index, which edge) still to be patched to whatever follows.
struct Frag {
    int start;
    std::vector<std::pair<int, int>> dangling;
};

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}

    bool parse(std::vector<State>& states, int& start) {
        auto f = parse_alternation();
        if (!f || pos_ != s_.size()) return false;
        int acc = add({State::accept, {}, -1, -1});
        patch(*f, acc);
        states = std::move(states_);
        start = f->start;
        return true;
    }

private:
    int add(State st) {
        states_.push_back(st);
        return int(states_.size()) - 1;
    }

    void patch(const Frag& f, int target) {
        for (auto [idx, which] : f.dangling)
            (which == 0 ? states_[idx].out : states_[idx].out2) = target;
    }

    bool at_end() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }

    std::optional<Frag> parse_alternation() {
        auto left = parse_sequence();
        if (!left) return std::nullopt;
        while (!at_end() && peek() == '|') {
            ++pos_;
            auto right = parse_sequence();
            if (!right) return std::nullopt;
            int sp = add({State::split, {}, left->start, right->start});
            Frag f{sp, std::move(left->dangling)};
            f.dangling.insert(f.dangling.end(), right->dangling.begin(), right->dangling.end());
            left = std::move(f);
        }
        return left;
    }

    // One or more quantified atoms; an empty sequence is malformed.
    std::optional<Frag> parse_sequence() {
        std::optional<Frag> seq;
        while (!at_end() && peek() != '|' && peek() != ')') {
            auto atom = parse_atom();
            if (!atom) return std::nullopt;
            while (!at_end() && (peek() == '*' || peek() == '+')) {
                bool star = peek() == '*';
                ++pos_;
                int sp = add({State::split, {}, atom->start, -1});
                patch(*atom, sp);
                atom = star ? Frag{sp, {{sp, 1}}} : Frag{atom->start, {{sp, 1}}};
            }
            if (!seq) {
                seq = std::move(atom);
            } else {
                patch(*seq, atom->start);
                seq->dangling = std::move(atom->dangling);
            }
        }
        return seq;
    }

    std::optional<Frag> single(const std::bitset<256>& set) {
        int st = add({State::chars, set, -1, -1});
        return Frag{st, {{st, 0}}};
    }

    static void add_folded(std::bitset<256>& set, unsigned char c) {
        set.set(c);
        if (c >= 'a' && c <= 'z') set.set(c - 'a' + 'A');
        if (c >= 'A' && c <= 'Z') set.set(c - 'A' + 'a');
    }

    std::optional<Frag> parse_atom() {
        char c = peek();
        ++pos_;
        std::bitset<256> set;
        switch (c) {
            case '?':
                set.set();
                return single(set);
            case '(': {
                auto inner = parse_alternation();
                if (!inner || at_end() || peek() != ')') return std::nullopt;
                ++pos_;
                return inner;
            }
            case '[':
                return parse_set();
            case '\\':
                if (at_end()) return std::nullopt;
                add_folded(set, static_cast<unsigned char>(peek()));
                ++pos_;
                return single(set);
            case '*':
            case '+':  // nothing precedes them here
            case ']':
            case '{':
            case '}':
                return std::nullopt;
            default:
                add_folded(set, static_cast<unsigned char>(c));
                return single(set);
        }
    }

    bool set_char(unsigned char& out) {
        if (at_end()) return false;
        char c = peek();
        if (c == ']') return false;
        ++pos_;
        if (c == '\\') {
            if (at_end()) return false;
            c = peek();
            ++pos_;
        }
        out = static_cast<unsigned char>(c);
        return true;
    }

    std::optional<Frag> parse_set() {
        bool negate = !at_end() && peek() == '^';
        if (negate) ++pos_;
        std::bitset<256> set;
        bool any = false;
        while (!at_end() && peek() != ']') {
            unsigned char lo;
            if (!set_char(lo)) return std::nullopt;
            unsigned char hi = lo;
            if (pos_ + 1 < s_.size() && peek() == '-' && s_[pos_ + 1] != ']') {
                ++pos_;
                if (!set_char(hi) || hi < lo) return std::nullopt;
            }
            for (unsigned v = lo; v <= hi; ++v)
                add_folded(set, static_cast<unsigned char>(v));
            any = true;
        }
        if (at_end() || !any) return std::nullopt;
        ++pos_;  // ']'
        if (negate) set.flip();
        return single(set);
    }

    std::string_view s_;
    size_t pos_ = 0;
    std::vector<State> states_;
};

}  // namespace

struct FindExpr::Program {
    std::vector<State> states;
    int start = 0;
};

FindExpr::FindExpr(std::unique_ptr<Program> p) : program_(std::move(p)) {}
FindExpr::FindExpr(FindExpr&&) noexcept = default;
FindExpr& FindExpr::operator=(FindExpr&&) noexcept = default;
FindExpr::~FindExpr() = default;

std::optional<FindExpr> FindExpr::compile(std::string_view expr) {
    if (expr.empty() || expr.size() > max_expr_len) return std::nullopt;
    auto p = std::make_unique<Program>();
    Parser parser(expr);
    if (!parser.parse(p->states, p->start)) return std::nullopt;
    return FindExpr(std::move(p));
}

std::vector<int> FindExpr::run(std::string_view text) const {
    const auto& states = program_->states;
    std::vector<int> current, next;
    std::vector<size_t> mark(states.size(), size_t(-1));
    size_t generation = 0;

    // Follows epsilon edges iteratively; `mark` keeps each state once per step,
    // which is what keeps loops over empty-matching groups finite.
    auto add_closure = [&](std::vector<int>& list, int s) {
        std::vector<int> stack{s};
        while (!stack.empty()) {
            int i = stack.back();
            stack.pop_back();
            if (i < 0 || mark[size_t(i)] == generation) continue;
            mark[size_t(i)] = generation;
            if (states[size_t(i)].kind == State::split) {
                stack.push_back(states[size_t(i)].out2);
                stack.push_back(states[size_t(i)].out);
            } else {
                list.push_back(i);
            }
        }
    };

    add_closure(current, program_->start);
    for (char ch : text) {
        ++generation;
        next.clear();
        auto c = static_cast<unsigned char>(ch);
        for (int i : current) {
            const auto& st = states[size_t(i)];
            if (st.kind == State::chars && st.set.test(c)) add_closure(next, st.out);
        }
        current.swap(next);
        if (current.empty()) break;
    }
    return current;
}

bool FindExpr::matches(std::string_view rsrc) const {
    for (int i : run(rsrc))
        if (program_->states[size_t(i)].kind == State::accept) return true;
    return false;
}

bool FindExpr::may_match_prefix(std::string_view prefix) const {
    return !run(prefix).empty();
}

}  // namespace visa
