// SPDX-License-Identifier: MIT
// ATA IDENTIFY DEVICE data: the word numbers of the fields this library and
// its backends read or write, and the character order of its strings.
//
// IDENTIFY data is 256 little-endian 16-bit words. Its strings hold two
// characters a word, the first in the word's high byte, which is the
// second byte in memory: "ABCD" is stored as B A D C.
#ifndef TAVDISKLIB_PROTOCOL_ATA_H
#define TAVDISKLIB_PROTOCOL_ATA_H

#include "ByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace TavProtocol {

constexpr uint8_t AtaIdentifyDevice = 0xEC; // the command code
constexpr size_t IdentifyLength = 512;

// Word numbers, and the width in words of the strings.
constexpr unsigned IdentifyConfigurationWord = 0; // bit 15 set: not an ATA device (a packet device)
constexpr unsigned IdentifySerialWord = 10, IdentifySerialWords = 10;
constexpr unsigned IdentifyFirmwareWord = 23, IdentifyFirmwareWords = 4;
constexpr unsigned IdentifyModelWord = 27, IdentifyModelWords = 20;
constexpr unsigned IdentifyCapabilitiesWord = 49;   // bit 9: LBA supported
constexpr unsigned IdentifyLba28SectorsWord = 60;   // words 60-61, low word first
constexpr unsigned IdentifyCommandSetsWord = 82;    // bit 1: security feature set supported
constexpr unsigned IdentifyCommandSets2Word = 83;   // bit 10: 48-bit addressing supported
constexpr unsigned IdentifyCommandSetsExtWord = 84; // words 82-84 valid: bit 14 set, bit 15 clear
constexpr unsigned IdentifyCommandSets2EnabledWord = 86;
constexpr unsigned IdentifyEraseTimeWord = 89;         // SECURITY ERASE UNIT time, 2 minutes a unit
constexpr unsigned IdentifyEnhancedEraseTimeWord = 90; // the same for the enhanced erase
constexpr unsigned IdentifyLba48SectorsWord = 100;     // words 100-103, low word first
constexpr unsigned IdentifyIntegrityWord = 255;        // signature 0xA5 in the low byte, checksum in the high

constexpr unsigned IdentifyLbaBit = 9;      // of word 49
constexpr unsigned IdentifySecurityBit = 1; // of word 82
constexpr unsigned IdentifyLba48Bit = 10;   // of words 83 and 86
constexpr uint8_t IdentifyChecksumSignature = 0xA5;

// Word `word` of IDENTIFY data; the caller guarantees the 512 bytes.
inline uint16_t IdentifyWord(const uint8_t *identify, unsigned word) { return LoadLe16(identify + 2 * size_t{word}); }
inline void SetIdentifyWord(uint8_t *identify, unsigned word, uint16_t value) {
    StoreLe16(identify + 2 * size_t{word}, value);
}
inline bool IdentifyBit(const uint8_t *identify, unsigned word, unsigned bit) {
    return ((IdentifyWord(identify, word) >> bit) & 1u) != 0;
}

// The addressable sectors: words 100-103 when the device supports 48-bit
// addressing (word 83 bit 10), else words 60-61.
inline uint64_t IdentifySectorCount(const uint8_t *identify) {
    auto word = [identify](unsigned n) { return uint64_t{IdentifyWord(identify, n)}; };
    if (IdentifyBit(identify, IdentifyCommandSets2Word, IdentifyLba48Bit)) {
        const unsigned first = IdentifyLba48SectorsWord;
        return word(first) | (word(first + 1) << 16) | (word(first + 2) << 32) | (word(first + 3) << 48);
    }
    return word(IdentifyLba28SectorsWord) | (word(IdentifyLba28SectorsWord + 1) << 16);
}

// A device that answers IDENTIFY DEVICE with its configuration word's bit
// 15 set is a packet device, not an ATA disk.
inline bool IdentifyIsPacketDevice(const uint8_t *identify) {
    return IdentifyBit(identify, IdentifyConfigurationWord, 15);
}

// The integrity word holds when it is absent (no signature) or when all
// 512 bytes sum to zero.
inline bool IdentifyChecksumHolds(const uint8_t *identify) {
    if (identify[2 * IdentifyIntegrityWord] != IdentifyChecksumSignature)
        return true;
    uint8_t sum = 0;
    for (size_t i = 0; i < IdentifyLength; ++i)
        sum = static_cast<uint8_t>(sum + identify[i]);
    return sum == 0;
}

// Swaps the two bytes of each of `words` words from `firstWord`: turns a
// string in the drive's order into reading order and back.
inline void SwapAtaString(uint8_t *identify, unsigned firstWord, unsigned words) {
    for (size_t at = 2 * size_t{firstWord}; at < 2 * (size_t{firstWord} + words); at += 2) {
        const uint8_t first = identify[at];
        identify[at] = identify[at + 1];
        identify[at + 1] = first;
    }
}

// Stores `text` as the string field of `words` words from `firstWord`,
// cut to the field or filled out with spaces, in the drive's order.
inline void PutAtaString(uint8_t *identify, unsigned firstWord, unsigned words, const std::string &text) {
    for (size_t i = 0; i < 2 * size_t{words}; ++i) {
        const uint8_t c = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
        identify[2 * size_t{firstWord} + (i ^ 1u)] = c;
    }
}

} // namespace TavProtocol

#endif
