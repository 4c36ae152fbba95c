// The relay of remote items: "httpproxy/<id>" plays an item whose path is an
// "http://" address (an internet radio station, a remote playlist entry) and
// "ftpproxy/<id>" one whose path is an "ftp://" address, through this
// server, so that players that only speak to it can play them.
#pragma once

#include "http/http_connection.h"

#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

// How far the relay follows redirections and playlist bodies that name
// other addresses, and how many addresses one request may try in all: two
// addresses that name each other end there instead of recursing for ever.
inline constexpr int kRelayMaxDepth = 5;
inline constexpr int kRelayMaxAttempts = 16;
// The addresses taken from one playlist body.
inline constexpr size_t kRelayCandidatesPerBody = 8;
// The largest playlist body that is read for addresses.
inline constexpr size_t kRelayPlaylistLimit = 64 * 1024;

// Time limits: an upstream that does not connect, send its head or keep
// sending within these ends the relay, so that a silent source does not hold
// a connection thread.
inline constexpr int kRelayConnectMs = 5000;
inline constexpr int kRelayHeadMs = 10000;
inline constexpr int kRelaySilenceMs = 20000;
// All the addresses one request tries share this much time until media
// answers: a playlist of silent addresses would otherwise hold the player,
// and the connection thread, for the attempts times the limits above.
inline constexpr int kRelaySearchMs = 30000;

// The relayed block size.
inline constexpr size_t kRelayBlock = 2048;

// How a relay ended.
enum RelayResult : int {
    RELAY_COMPLETE = 0,      // everything the source sent went out
    RELAY_CLIENT_GONE = 2,   // the client closed or stopped taking bytes
    RELAY_SOURCE_FAILED = 4, // the source ended early, failed or fell silent
};

struct HttpReader;

int httpproxy_handler(HttpConnection* connection);
int ftpproxy_handler(HttpConnection* connection);

// Which hosts off the public internet an item may reach. A station, a page
// or a playlist body can name any address, and the server sits inside the
// home network: only the host that the user's own entry names may be a
// loopback, private, link-local, multicast or unspecified address; every
// other host the relay is led to must be a public one.
struct RelayTrust {
    std::string host; // the host the user named; empty: public addresses only
    // Whether the item's address is the user's own (a playlist entry, a
    // library stream), whose port is the user's choice; a station of a list
    // is held to the port rule of redirections.
    bool own_address = false;
};

// The trust of a playlist entry or library stream: its own URL's host.
RelayTrust relay_trust_of_entry(const char* url);
// The trust of a station of the station list: the host of the list the
// user configured, none for the public directory.
RelayTrust relay_trust_of_station_list();

// Why the relay must not connect to address, or nothing when it may: an
// address that is not public and none of trusted (the addresses of the
// trusted host), or, when the item's own address does not name it
// (followed), a port below 1024 other than 80 and 443: those are the other
// services of a host (SSH, mail, printers), where no station streams.
std::optional<std::string> relay_refusal(const sockaddr_in& address, bool followed,
                                         const std::vector<sockaddr_in>& trusted);

// Plays url to the client: the first address, following redirections and
// playlist bodies, whose answer is media is relayed with that answer's type
// and length; every address is looked up once and the relay connects to
// the address it checked against trust. The answer is always a closing
// one. HTTP_CLOSE after a relay (whether the source or the client ended
// it); the not-found answer when no address gave media, or none did within
// search_ms.
int http_relay(HttpConnection* connection, const char* url, const RelayTrust& trust,
               int search_ms = kRelaySearchMs);

// Sends the 200 head with content_type and, when length is not -1, that
// length, then the body: what upstream holds after the head, then what its
// socket delivers, until length bytes, the source's end, kRelaySilenceMs of
// silence, the client's hang-up or a server stop. A HEAD request gets the
// head only.
int relay_body(HttpConnection* connection, HttpReader& upstream, int64_t length,
               const char* content_type);
