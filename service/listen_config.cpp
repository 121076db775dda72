#include "listen_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// An address as 16 bytes (IPv4 mapped into IPv6); false when it is none.
bool ParseAddress(const std::string& text, std::array<uint8_t, 16>& out, bool& v4) {
    in_addr four{};
    if (inet_pton(AF_INET, text.c_str(), &four) == 1) {
        out.fill(0);
        out[10] = out[11] = 0xFF;
        std::memcpy(out.data() + 12, &four, 4);
        v4 = true;
        return true;
    }
    in6_addr six{};
    if (inet_pton(AF_INET6, text.c_str(), &six) == 1) {
        std::memcpy(out.data(), &six, 16);
        v4 = false;
        return true;
    }
    return false;
}

} // namespace

std::optional<std::pair<std::string, uint16_t>> ParseListen(std::string_view text) {
    text = Trim(text);
    std::string host;
    std::string_view port;
    if (text.starts_with('[')) {
        const size_t close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon)
            return std::nullopt;
        host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    std::array<uint8_t, 16> bytes{};
    bool v4 = false;
    if (!ParseAddress(host, bytes, v4) || (text.starts_with('[') == v4) || port.empty() ||
        port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const unsigned long number = std::stoul(std::string(port));
    if (number == 0 || number > 65535)
        return std::nullopt;
    return std::make_pair(host, uint16_t(number));
}

std::optional<std::vector<AllowRule>> ParseAllowList(std::string_view text) {
    std::vector<AllowRule> rules;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = Trim(text.substr(0, comma));
        const size_t slash = item.find('/');
        AllowRule rule;
        bool v4 = false;
        if (!ParseAddress(std::string(item.substr(0, slash)), rule.Address, v4))
            return std::nullopt;
        if (slash != std::string_view::npos) {
            const std::string_view bits = item.substr(slash + 1);
            if (bits.empty() || bits.size() > 3 ||
                bits.find_first_not_of("0123456789") != std::string_view::npos)
                return std::nullopt;
            const int prefix = std::stoi(std::string(bits));
            if (prefix > (v4 ? 32 : 128))
                return std::nullopt;
            rule.PrefixBits = v4 ? 96 + prefix : prefix;
        }
        rules.push_back(rule);
        if (comma == std::string_view::npos)
            return rules;
        text.remove_prefix(comma + 1);
    }
}

std::vector<AllowRule> LoopbackOnly() {
    return *ParseAllowList("127.0.0.0/8, ::1");
}

bool IsAllowed(const std::vector<AllowRule>& allow, const sockaddr* peer) {
    std::array<uint8_t, 16> address{};
    if (peer->sa_family == AF_INET) {
        address[10] = address[11] = 0xFF;
        std::memcpy(address.data() + 12, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, 4);
    } else if (peer->sa_family == AF_INET6) {
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, 16);
    } else {
        return false;
    }
    for (const AllowRule& rule : allow) {
        int bits = rule.PrefixBits;
        bool match = true;
        for (size_t i = 0; i < 16 && bits > 0 && match; ++i, bits -= 8) {
            const uint8_t mask = bits >= 8 ? 0xFF : uint8_t(0xFF << (8 - bits));
            match = (address[i] & mask) == (rule.Address[i] & mask);
        }
        if (match)
            return true;
    }
    return false;
}
