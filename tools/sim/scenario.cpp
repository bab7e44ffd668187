#include "morlune_sim/scenario.h"

#include <algorithm>

namespace morlune::sim {

Reaction& Scenario::on(int device, std::uint8_t code) {
    return reactions_[{device < 0 ? anyDevice : device & 0xFF, code}];
}

std::optional<Reaction> Scenario::find(std::uint8_t device, std::uint8_t code) const {
    if (const auto own = reactions_.find({device, code}); own != reactions_.end()) return own->second;
    if (const auto any = reactions_.find({anyDevice, code}); any != reactions_.end()) return any->second;
    return std::nullopt;
}

Bytes presenceFirstReply(std::uint8_t device) {
    return {0x4D, device, 0x10, 0x20, 0x30, device, 0x00, 0x00};
}

Bytes presenceSecondReply(std::uint8_t device) { return {0x00, device, 0x01, 0x06, 0x00, 0x00}; }

Bytes paddedReply(const Bytes& reply, std::size_t length, std::uint8_t device, std::uint8_t code) {
    Bytes padded(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(std::min(reply.size(), length)));
    for (std::size_t i = padded.size(); i < length; ++i)
        padded.push_back(static_cast<std::uint8_t>((device * 31u + code + i * 7u) & 0xFFu));
    return padded;
}

namespace step {

Step expect(std::size_t count) {
    Step s;
    s.kind = Step::Kind::expect;
    s.count = count;
    return s;
}

Step send(Bytes bytes) {
    Step s;
    s.kind = Step::Kind::send;
    s.bytes = std::move(bytes);
    return s;
}

Step sendPieces(Bytes bytes, std::vector<std::size_t> pieces, Millis gap) {
    Step s = send(std::move(bytes));
    s.pieces = std::move(pieces);
    s.gap = gap;
    return s;
}

Step pause(Millis duration) {
    Step s;
    s.kind = Step::Kind::pause;
    s.gap = duration;
    return s;
}

Step silent() { return Step{}; }

Step close() {
    Step s;
    s.kind = Step::Kind::close;
    return s;
}

Step reset() {
    Step s;
    s.kind = Step::Kind::reset;
    return s;
}

}  // namespace step

}  // namespace morlune::sim
