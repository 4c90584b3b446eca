// `nivra --share`: the share links that let another machine read the
// network-link port (net/shareStore.h, net/shareGate.h).
//   nivra --share create [--vehicle KEY]... [--until DATE]
//   nivra --share list
//   nivra --share revoke ID
// They work on the shares file of the tracker's start directory; a running
// tracker reads it again within a second.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// Returns the process exit status: 0 done, 1 the file could not be read or
// written (or is damaged), an unknown id; 2 a usage error (unknown option,
// bad date, bad vehicle key). `args` are the words after --share;
// `linkBase` is "http://HOST:PORT" of the network-link port; `linkLocalOnly`
// tells that it listens on loopback only (a created link then comes with a
// note); `now` is UTC seconds.
int shareCommand(const std::vector<std::string>& args, const std::string& sharesPath,
                 const std::string& linkBase, bool linkLocalOnly, int64_t now, std::ostream& out,
                 std::ostream& err);

struct VehicleGrant;

// The vehicles of a grant as the list shows them: "all", or the keys.
std::string shareVehiclesText(const VehicleGrant& grant);
// "YYYY-MM-DD HH:MM UTC" of UTC seconds.
std::string shareTimeText(int64_t utc);
// The end that --until DATE gives: a date alone runs to the end of that day
// (UTC); a date and time, or seconds, is that moment. False for anything else.
bool parseShareUntil(const std::string& text, int64_t& until);
