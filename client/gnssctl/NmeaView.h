// What the receiver's NMEA tells a person: the satellite picture for the
// line a waiting command shows, and the whole fix for gnssctl watch
// --follow, which watches other clients' sessions through their NMEA.
//
// The driver hands the sentences over in pieces (an epoch may come in
// several listen completions), so NmeaView keeps what the sentences so far
// have said: each talker's satellites from its latest GSV group, the
// satellites used from the GSA of the current epoch (a GGA with a new time
// begins one), position and time from GGA and RMC, accuracy from GST.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::ctl {

// The satellites in view by constellation, those used and the best
// signal-to-noise ratio.
struct NmeaSky {
    int inView = -1;  // -1: no GSV yet
    int used = -1;    // -1: no GSA yet
    double bestSignal = 0;
    std::string byConstellation;  // "GLONASS 5, GPS 8"
};

class NmeaView {
public:
    // Takes sentences, a whole epoch or a piece of one ("$..*hh" lines).
    void Add(const std::string& sentences);

    NmeaSky Sky() const;
    // The fix as the driver would give it, the satellites under the
    // driver's ids; nullopt until a valid position came (GGA quality 0 or RMC
    // status V make it invalid again).
    std::optional<GNSS_FIXDATA> Fix() const;
    // The UTC time of the latest GGA or RMC ("hhmmss.ss"): a new one is a new epoch.
    const std::string& Time() const { return time_; }

private:
    void Take(const std::string& sentence);

    struct Talker {
        int inView = 0;
        std::vector<GNSS_SATELLITEINFO> satellites;
    };
    std::map<std::string, Talker> talkers_;  // GSV, by talker
    std::set<ULONG> used_;                   // GSA of the current epoch, driver ids
    bool gsa_ = false;
    std::string epoch_;                      // the time of the latest GGA
    bool valid_ = false;
    double latitude_ = 0, longitude_ = 0, altitude_ = 0, speed_ = 0, heading_ = 0;
    std::string date_, time_;
    ULONG horizontal_ = 0, vertical_ = 0;
    FLOAT pdop_ = 0, hdop_ = 0, vdop_ = 0;
};

}  // namespace gnss::ctl
