#include "variant.h"

#include "checksums.h"

namespace {

uint16_t Sum8Wide(const uint8_t* data, size_t length) {
    return Sum8(data, length);
}

constexpr ProtocolTraits kCrc{
    ProtocolVariant::Crc, "crc", ':', false, Crc16, false, 10, true, true};
constexpr ProtocolTraits kSum{
    ProtocolVariant::Sum, "sum", '>', true, Sum8Wide, true, 16, false, false};

} // namespace

const ProtocolTraits& TraitsOf(ProtocolVariant variant) {
    return variant == ProtocolVariant::Crc ? kCrc : kSum;
}

std::optional<ProtocolVariant> VariantNamed(std::string_view name) {
    for (const ProtocolTraits* traits : {&kCrc, &kSum})
        if (name == traits->Name)
            return traits->Variant;
    return std::nullopt;
}

std::optional<ProtocolVariant> VariantOfMark(char mark) {
    for (const ProtocolTraits* traits : {&kCrc, &kSum})
        if (mark == traits->RequestMark)
            return traits->Variant;
    return std::nullopt;
}
