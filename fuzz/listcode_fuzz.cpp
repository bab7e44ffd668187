// The list encodings on any entries: never a byte outside the block buffer
// or beyond the entries, and the same block as the reference encoder.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_script.h"
#include "oneshot/listcode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(size / 3, 50000));
    if (count == 0) return 0;
    // Exactly the entries and exactly the block buffer, on the heap, so that
    // AddressSanitizer sees a step past either.
    const auto entries = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(count) * 3);
    std::memcpy(entries.get(), data, static_cast<std::size_t>(count) * 3);
    const auto block = std::make_unique<std::uint8_t[]>(morlune::listBlockCapacity);

    const std::int32_t length =
        count == 1 ? morlune::ipEncodeSingle(block.get(), morlune::ipEntryNumber(entries.get()))
                   : morlune::ipEncodeBitmap(block.get(), entries.get(), count);
    const fake::Bytes expected = soak::referenceListBlock(entries.get(), count);
    fuzzing::require(length >= 0 && length < morlune::listBlockCapacity, "block length out of range");
    fuzzing::require(static_cast<std::size_t>(length) == expected.size(), "block length differs");
    fuzzing::require(std::memcmp(block.get(), expected.data(), expected.size()) == 0,
                     "block differs from the reference");
    return 0;
}
