// The link counters of one device as the runner shows and stores them, under
// one set of names for the table view, the JSON stream and the database.
// They are either totals since the runner started or the change over one
// interval; which one is the holder's to say.
#pragma once

#include <cstdint>

struct LinkCounts {
    uint64_t commands = 0;  // frames written, retries included
    uint64_t good = 0;      // replies that passed every check
    uint64_t timeouts = 0;
    uint64_t bad_checksum = 0;
    uint64_t bad_lchksum = 0;
    uint64_t rtn_errors = 0;       // replies with a non-zero RTN
    uint64_t foreign_address = 0;  // replies from another address
    uint64_t wrong_unit = 0;       // replies naming another unit (CID1)
    uint64_t other_damage = 0;     // the remaining kinds of rejected frame
    uint64_t echoes = 0;
    uint64_t late_replies = 0;  // frames dropped because no command was outstanding
    uint64_t drained_bytes = 0;
    uint64_t retries = 0;
    uint64_t abandoned = 0;
    uint64_t polls = 0;
    uint64_t resets = 0;
    uint64_t settles = 0;
};

struct LinkCountField {
    const char* name;
    uint64_t LinkCounts::*member;
};

// Every counter, in the order they are listed; the names are the JSON
// members and the database columns.
inline constexpr LinkCountField kLinkCountFields[] = {
    {"commands", &LinkCounts::commands},
    {"good", &LinkCounts::good},
    {"timeouts", &LinkCounts::timeouts},
    {"bad_checksum", &LinkCounts::bad_checksum},
    {"bad_lchksum", &LinkCounts::bad_lchksum},
    {"rtn_errors", &LinkCounts::rtn_errors},
    {"foreign_address", &LinkCounts::foreign_address},
    {"wrong_unit", &LinkCounts::wrong_unit},
    {"other_damage", &LinkCounts::other_damage},
    {"echoes", &LinkCounts::echoes},
    {"late_replies", &LinkCounts::late_replies},
    {"drained_bytes", &LinkCounts::drained_bytes},
    {"retries", &LinkCounts::retries},
    {"abandoned", &LinkCounts::abandoned},
    {"polls", &LinkCounts::polls},
    {"resets", &LinkCounts::resets},
    {"settles", &LinkCounts::settles},
};
inline constexpr int kLinkCountFieldCount =
    static_cast<int>(sizeof kLinkCountFields / sizeof kLinkCountFields[0]);
static_assert(kLinkCountFieldCount * sizeof(uint64_t) == sizeof(LinkCounts),
              "every counter of LinkCounts is listed in kLinkCountFields");

inline bool operator==(const LinkCounts& a, const LinkCounts& b) {
    for (const auto& f : kLinkCountFields)
        if (a.*f.member != b.*f.member) return false;
    return true;
}
inline bool operator!=(const LinkCounts& a, const LinkCounts& b) {
    return !(a == b);
}
