// The NMEA 0183 sentences gnssfeed serves for each fix the driver delivers.
//
// One call turns one GNSS_FIXDATA into one epoch of 4.10-style sentences:
// GGA, RMC, a GSA per constellation whose satellites were used (with the
// system id at the end), the GSV pages of each constellation in view, GST
// when the fix carries its accuracy block, and ZDA.  Every sentence is a
// whole line, "$...*HH\r\n", at most 82 bytes long.  Nothing here keeps
// state or allocates beyond the strings it returns, so any thread may call
// it at any time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::feed {

// The satellite systems NMEA gives a talker of their own, in the order of
// their system ids (GPS 1 ... QZSS 5).  SBAS satellites travel with GPS.
enum class Constellation { Gps, Glonass, Galileo, BeiDou, Qzss };

// A receiver satellite id (GPS 1-32, SBAS 33-64, GLONASS 65-96, QZSS
// 193-202, Galileo 301-336, BeiDou 401-463) as NMEA numbers it under its
// constellation's talker.
struct NmeaSatellite {
    Constellation constellation;
    int id;  // GPS/SBAS 1-64, GLONASS 65-96, Galileo 1-36, BeiDou 1-63, QZSS 1-10
};
// \return The NMEA numbering of `satelliteId`, or nothing for an id outside
// the ranges above (such a satellite appears in no sentence).
std::optional<NmeaSatellite> ToNmeaSatellite(ULONG satelliteId);

// One epoch of sentences for a fix, each "$...*HH\r\n".  A fix that failed
// (FixStatus not a success), has no GNSS_FIXDETAIL_BASIC block or carries no
// usable position gives NoFixSentences().
std::string FixSentences(const GNSS_FIXDATA& fix);

// The sentences that tell a consumer there is no fix (GGA quality 0, RMC
// status V, GSA mode 1), with empty time/position fields.
std::string NoFixSentences();

// The two upper-case hex digits of a sentence body's checksum (the XOR of
// the bytes between '$' and '*').
std::string Checksum(std::string_view body);

// `body` as a whole sentence: "$" body "*HH\r\n".
std::string Sentence(std::string_view body);

}  // namespace gnss::feed
