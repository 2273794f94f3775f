#pragma once

#include <chrono>
#include <stop_token>
#include <string>

class TrkStopSockets;

// The TCP work the sessions of this folder share, without blocking, so that
// every wait is bounded by a deadline and ended at once by a stop: a socket
// the stop shut down wakes its poll.
namespace trk_tcp {

using Clock = std::chrono::steady_clock;

// A socket connected to `host` (a name or an address, an IPv6 one bracketed
// or not) at `port`: non-blocking, not inherited by child processes, without
// Nagle's delay (a command goes out as it is made), noted in `sockets`. -1
// when no address of the host took the connection before `deadline`;
// `failure` then says why, for the user.
int Connect(const std::string& host, int port, Clock::time_point deadline, TrkStopSockets& sockets,
            const std::stop_token& stop, std::string& failure);
// Waits until `fd` has one of `events` (poll's) or its peer hung up; false
// when `deadline` passed or a stop was asked first.
bool WaitFor(int fd, short events, Clock::time_point deadline, const std::stop_token& stop);
// The errno of a non-blocking connect of `fd` once it ends, 0 when it
// connected; ETIMEDOUT or ECANCELED when the deadline or a stop came first.
int FinishConnect(int fd, Clock::time_point deadline, const std::stop_token& stop);
// This end's or the peer's address of a connected socket, without brackets;
// empty when the system will not tell.
std::string LocalAddress(int fd);
std::string PeerAddress(int fd);

}  // namespace trk_tcp
