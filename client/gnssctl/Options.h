// gnssctl's one way of reading a command line: the global options before the
// command and each command's options after it go through Options, numbers
// through ParseNumber and durations through ParseSeconds.
//
// An option is written "--name VALUE" or "--name=VALUE" (a short alias such
// as -v takes no value); "--" ends the options.  The uses are kept in the
// order given, so that a command whose options build on each other (supl's
// --cert and --name) reads them as written.  A misspelt option or command is
// answered with the nearest known one.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gnss::ctl {

struct KnownOption {
    enum class Arg {
        None,      // a switch
        One,       // one value: --name VALUE or --name=VALUE
        Optional,  // --name=VALUE, or --name VALUE when VALUE does not begin with '-'
        Two,       // two values: --name A B (or --name=A B)
    };
    const char* name;                // "--accuracy"
    Arg arg = Arg::None;
    const char* alias = nullptr;     // "-v"
};

class Options {
public:
    struct Use {
        std::string name;                 // the option's long name
        std::vector<std::string> values;  // as many as its Arg takes (Optional: 0 or 1)
    };

    // Reads `args` for `command` ("fix"; "gnssctl" for the global options,
    // which stop at the first word that is no option).  Throws UsageError on
    // an unknown option (naming the nearest), a missing value or a value
    // given to a switch.
    Options(std::string command, const std::vector<std::string>& args,
            std::vector<KnownOption> known, bool stopAtWord = false);

    bool Has(std::string_view name) const;
    // The value of the option's last use; nullopt when it was not given.
    std::optional<std::string> Value(std::string_view name) const;
    // Every use, in the order given.
    const std::vector<Use>& Uses() const { return uses_; }
    // The words that are no option (after "--" everything is one).
    const std::vector<std::string>& Words() const { return words_; }
    // Throws UsageError when more than `count` words were given.
    void AtMostWords(std::size_t count) const;
    // Throws UsageError when more than one of `names` was given.
    void OneOf(std::initializer_list<std::string_view> names) const;

    // The option's number from `min` to `max` (decimal or 0x hex); `fallback` when not given.
    std::uint32_t Number(std::string_view name, std::uint32_t fallback, std::uint32_t min = 0,
                         std::uint32_t max = UINT32_MAX) const;
    // The same, nullopt when not given.
    std::optional<std::uint32_t> OptionalNumber(std::string_view name, std::uint32_t min = 0,
                                                std::uint32_t max = UINT32_MAX) const;
    // The option's duration in seconds (fractions allowed), at least `min`;
    // nullopt when it was not given.
    std::optional<std::chrono::milliseconds> Seconds(
        std::string_view name, std::chrono::milliseconds min = std::chrono::milliseconds(1)) const;
    // Whole seconds, for the values the driver counts in seconds; `fallback` when not given.
    std::uint32_t WholeSeconds(std::string_view name, std::uint32_t fallback,
                               std::uint32_t min) const;

private:
    const KnownOption* Find(std::string_view written) const;

    std::string command_;
    std::vector<KnownOption> known_;
    std::vector<Use> uses_;
    std::vector<std::string> words_;
};

// A 32-bit number (decimal or 0x hex); UsageError naming `what` otherwise.
std::uint32_t ParseNumber(const std::string& text, const char* what);
// A duration in seconds, fractions allowed ("2", "0.5", "1.25"), up to a day;
// UsageError naming `what` otherwise.
std::chrono::milliseconds ParseSeconds(const std::string& text, const char* what);
// "1.5 s", "10 s", "250 ms": a duration as people read it.
std::string FormatSeconds(std::chrono::milliseconds duration);

// The candidate nearest to `written` when it is near enough to be a slip
// (an edit distance of at most a third of its length, at least 1, or a
// candidate that begins with it); nullopt otherwise.
std::optional<std::string> Nearest(std::string_view written, const std::vector<std::string>& candidates);

}  // namespace gnss::ctl
