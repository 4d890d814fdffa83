#include "Options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Command.h"
#include "gnss/client/names.h"

namespace gnss::ctl {
namespace {

std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::optional<std::string> Nearest(std::string_view written,
                                   const std::vector<std::string>& candidates) {
    std::optional<std::string> best;
    std::size_t bestDistance = std::max<std::size_t>(1, written.size() / 3) + 1;
    for (const std::string& c : candidates) {
        // "--acc" for "--accuracy": a beginning counts as near.
        const bool prefix = written.size() >= 3 && c.rfind(written, 0) == 0;
        const std::size_t d = prefix ? 1 : EditDistance(written, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    return best;
}

Options::Options(std::string command, const std::vector<std::string>& args,
                 std::vector<KnownOption> known, bool stopAtWord)
    : command_(std::move(command)), known_(std::move(known)) {
    const std::string prefix = command_ == "gnssctl" ? "" : command_ + ": ";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            words_.insert(words_.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            if (stopAtWord) {
                words_.insert(words_.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
                break;
            }
            words_.push_back(a);
            continue;
        }
        const std::size_t equals = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string written = a.substr(0, equals);
        const KnownOption* option = Find(written);
        if (option == nullptr) {
            std::vector<std::string> names;
            for (const KnownOption& s : known_) names.emplace_back(s.name);
            const auto near = Nearest(written, names);
            throw UsageError(prefix + "unknown option '" + written + "'" +
                             (near ? "; did you mean '" + *near + "'?" : std::string()));
        }
        Use use{option->name, {}};
        const auto next = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw UsageError(prefix + option->name + " needs " +
                                 (option->arg == KnownOption::Arg::Two ? "two values" : "a value"));
            return args[++i];
        };
        if (equals != std::string::npos) {
            if (option->arg == KnownOption::Arg::None)
                throw UsageError(prefix + option->name + " takes no value");
            use.values.push_back(a.substr(equals + 1));
        }
        switch (option->arg) {
            case KnownOption::Arg::None: break;
            case KnownOption::Arg::One:
                if (use.values.empty()) use.values.push_back(next());
                break;
            case KnownOption::Arg::Optional:
                if (use.values.empty() && i + 1 < args.size() &&
                    (args[i + 1].empty() || args[i + 1][0] != '-'))
                    use.values.push_back(args[++i]);
                break;
            case KnownOption::Arg::Two:
                if (use.values.empty()) use.values.push_back(next());
                use.values.push_back(next());
                break;
        }
        uses_.push_back(std::move(use));
    }
}

const KnownOption* Options::Find(std::string_view written) const {
    for (const KnownOption& s : known_)
        if (written == s.name || (s.alias != nullptr && written == s.alias)) return &s;
    return nullptr;
}

bool Options::Has(std::string_view name) const {
    return std::any_of(uses_.begin(), uses_.end(), [&](const Use& u) { return u.name == name; });
}

std::optional<std::string> Options::Value(std::string_view name) const {
    for (auto u = uses_.rbegin(); u != uses_.rend(); ++u)
        if (u->name == name) return u->values.empty() ? std::string() : u->values.front();
    return std::nullopt;
}

void Options::AtMostWords(std::size_t count) const {
    if (words_.size() > count)
        throw UsageError(command_ + ": unexpected argument '" + words_[count] + "'");
}

void Options::OneOf(std::initializer_list<std::string_view> names) const {
    std::vector<std::string> given;
    for (const std::string_view n : names)
        if (Has(n)) given.emplace_back(n);
    if (given.size() > 1)
        throw UsageError(command_ + ": give one of " + given[0] + " and " + given[1]);
}

std::optional<std::uint32_t> Options::OptionalNumber(std::string_view name, std::uint32_t min,
                                                     std::uint32_t max) const {
    const auto text = Value(name);
    if (!text) return std::nullopt;
    const std::string option(name);
    const std::uint32_t value = ParseNumber(*text, option.c_str());
    if (value < min || value > max)
        throw UsageError(option + " needs " +
                         (max == UINT32_MAX ? "at least " + std::to_string(min)
                                            : "a number from " + std::to_string(min) + " to " +
                                                  std::to_string(max)) +
                         ", not '" + *text + "'");
    return value;
}

std::uint32_t Options::Number(std::string_view name, std::uint32_t fallback, std::uint32_t min,
                              std::uint32_t max) const {
    return OptionalNumber(name, min, max).value_or(fallback);
}

std::optional<std::chrono::milliseconds> Options::Seconds(std::string_view name,
                                                          std::chrono::milliseconds min) const {
    const auto text = Value(name);
    if (!text) return std::nullopt;
    const std::string option(name);
    const std::chrono::milliseconds value = ParseSeconds(*text, option.c_str());
    if (value < min)
        throw UsageError(option + " needs at least " + FormatSeconds(min) + ", not '" + *text + "'");
    return value;
}

std::uint32_t Options::WholeSeconds(std::string_view name, std::uint32_t fallback,
                                    std::uint32_t min) const {
    const auto value = Seconds(name, std::chrono::seconds(min));
    if (!value) return fallback;
    if (value->count() % 1000 != 0)
        throw UsageError(std::string(name) + " needs whole seconds (the driver counts it in seconds), not '" +
                         *Value(name) + "'");
    return static_cast<std::uint32_t>(value->count() / 1000);
}

std::uint32_t ParseNumber(const std::string& text, const char* what) {
    const auto value = client::ParseU32(text);
    if (!value)
        throw UsageError(std::string(what) + " needs a 32-bit number (decimal or 0x hex), not '" +
                         text + "'");
    return *value;
}

std::chrono::milliseconds ParseSeconds(const std::string& text, const char* what) {
    constexpr double kLongest = 24 * 3600.0;
    const auto bad = [&]() {
        return UsageError(std::string(what) + " needs seconds (such as 10 or 0.5, at most a day), not '" +
                          text + "'");
    };
    // Digits with at most one point: no sign, exponent, hex or "inf".
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        throw bad();
    const double seconds = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(seconds) || seconds > kLongest) throw bad();
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

std::string FormatSeconds(std::chrono::milliseconds duration) {
    const long long ms = duration.count();
    if (ms < 1000) return std::to_string(ms) + " ms";
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    return s + " s";
}

}  // namespace gnss::ctl
