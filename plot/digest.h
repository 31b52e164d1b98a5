// A fast 64-bit digest of bytes, for telling whether what a frame shows changed: four independent
// multiply-xor lanes over 8-byte words, so that hashing runs at memory speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestrum::plot {

class Digest {
public:
    void add(const void* data, std::size_t bytes)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        std::size_t i = 0;
        for (; i + 32 <= bytes; i += 32)
            for (int k = 0; k < 4; ++k) {
                std::uint64_t w;
                std::memcpy(&w, p + i + 8 * k, 8);
                lane_[k] = (lane_[k] ^ w) * kPrime;
            }
        for (; i < bytes; ++i)
            lane_[0] = (lane_[0] ^ p[i]) * kPrime;
        lane_[1] = (lane_[1] ^ bytes) * kPrime;
    }
    template <typename T>
    void add(const std::vector<T>& v)
    {
        add(v.data(), v.size() * sizeof(T));
    }
    void add(const std::string& s) { add(s.data(), s.size() + 1); }
    template <typename T>
    void value(const T& v)
    {
        add(&v, sizeof v);
    }
    std::uint64_t result() const
    {
        std::uint64_t h = 0;
        for (std::uint64_t l : lane_)
            h = (h ^ l) * kPrime + 0x9e3779b97f4a7c15ull;
        return h;
    }

private:
    static constexpr std::uint64_t kPrime = 0x100000001b3ull;
    std::uint64_t lane_[4] = {0xcbf29ce484222325ull, 1, 2, 3};
};

}  // namespace kestrum::plot
