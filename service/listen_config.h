#pragma once

// Where a network listener of the service (Modbus TCP, HTTP) takes connections and from whom:
// the [modbus] and [http] sections share these keys, their rules and this code.
//   listen=ADDRESS:PORT   an IPv4 address, or an IPv6 one in brackets ([::1]:8047)
//   allow=LIST            addresses and CIDR networks, IPv4 or IPv6, comma-separated
//   max_clients=N         connections at once; one more is accepted and closed at once
//   idle_timeout=S        a connection that sends nothing this long is closed

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

struct AllowRule {
    std::array<uint8_t, 16> Address{}; // IPv4 as ::ffff:a.b.c.d
    int PrefixBits = 128;              // of those 128 bits
    bool operator==(const AllowRule&) const = default;
};

struct ListenConfig {
    bool Enabled = false; // the section is there
    std::string Address = "127.0.0.1";
    uint16_t Port = 0;
    std::vector<AllowRule> Allow; // default: loopback only
    uint32_t MaxClients = 16;
    uint32_t IdleTimeoutS = 60;
    bool operator==(const ListenConfig&) const = default;
};

// "127.0.0.1:5020", "[::1]:5020", "0.0.0.0:502": the address and port, or nothing.
std::optional<std::pair<std::string, uint16_t>> ParseListen(std::string_view text);
// "127.0.0.1, 10.0.0.0/8, ::1, fd00::/8": blanks around items allowed; nothing when an item is
// no address or network (or the prefix is too long for it).
std::optional<std::vector<AllowRule>> ParseAllowList(std::string_view text);
// 127.0.0.0/8 and ::1.
std::vector<AllowRule> LoopbackOnly();
// Whether a peer (an AF_INET or AF_INET6 socket address) is in the list.
bool IsAllowed(const std::vector<AllowRule>& allow, const sockaddr* peer);
