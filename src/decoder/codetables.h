// The 29 prefix-code tables of the Velk frame syntax.
//
// Each table is written as its code words in value order (the lowest value
// first), each word as its bits in reading order. The k-th word decodes to
// k - offset. These codes are part of the stream format: a single wrong bit
// and no frame of the affected kind checks, so every table is verified at
// compile time to be a complete prefix code with the expected entry count.
#pragma once

#include <cstdint>
#include <string_view>

namespace velkscan {

// clang-format off
inline constexpr std::string_view kSv46ResCodeA =
    "010 1 00 01111 011101 01101 01100 0111001 "
    "01110001 011100001 0111000001 01110000001 011100000001 0111000000001 01110000000001 01110000000000";
inline constexpr std::string_view kSv46ResCodeB = "01 1 001 0001 00001 000001 0000001 0000000";
inline constexpr std::string_view kSv46ResCodeC = "1 01 001 000";
inline constexpr std::string_view kSv46ScfSelectCode = "001011 00111 00110 01 00100 000 001010 1";
inline constexpr std::string_view kSv46ScfDeltaCode =
    "010100 01011 0100 11000 1011 100 00 111 011 1101 1010 11001 010101";
inline constexpr std::string_view kSv46SampleCodeRes1 = "01 1 00";
inline constexpr std::string_view kSv46SampleCodeRes2 = "100 00 11 01 101";
inline constexpr std::string_view kSv46SampleCodeRes3 = "10001 101 01 11 00 1001 10000";
inline constexpr std::string_view kSv46SampleCodeRes4 = "0101 1110 011 101 00 110 100 1111 0100";
inline constexpr std::string_view kSv46SampleCodeRes5 =
    "111001 10111 11101 0011 1101 1111 010 100 011 000 1100 1010 0010 10110 111000";
inline constexpr std::string_view kSv46SampleCodeRes6 =
    "0001000 1011000 101000 000101 101101 111000 01001 10111 "   // -15 .. -8
    "11000 11011 11101 11111 0011 0010 0111 1001 "              //  -7 ..  0
    "1000 0101 0110 0000 11110 11010 11001 10101 "              //  +1 .. +8
    "00011 111001 101001 010001 010000 1011001 0001001";        //  +9 .. +15
inline constexpr std::string_view kSv46SampleCodeRes7 =
    "00010001 10010111 11010100 0001001 1010000 0001010 0001011 0111111 "  // -31 .. -24
    "1011001 1100001 1101011 1111110 010010 100100 100110 101010 "          // -23 .. -16
    "101011 101101 110011 110010 111000 111001 111100 111101 "              // -15 .. -8
    "00110 00000 01000 00111 01110 01010 10001 01011 "                      //  -7 ..  0
    "10000 00101 01101 00100 01100 00001 00011 111110 "                     //  +1 .. +8
    "111011 110111 110110 110001 110100 101111 101110 101001 "              //  +9 .. +16
    "100111 011110 010011 1110101 1110100 1100000 1011000 1001010 "         // +17 .. +24
    "0111110 11111110 1010001 11111111 11010101 10010110 00010000";         // +25 .. +31

inline constexpr std::string_view kSv7ResDeltaCode =
    "01011100 0101111 01010 0100 00 1 011 010110 010111011 010111010";
inline constexpr std::string_view kSv7ScfSelectCode = "010 1 011 00";
inline constexpr std::string_view kSv7ScfDeltaCode =
    "100000 00100 10001 11110 1101 000 011 1001 101 010 1110 0011 11111 00101 100001 1100";
inline constexpr std::string_view kSv7SampleCodeSet0Res1 =
    "110110 01001 100000 00101 1010 00111 110100 00000 "
    "100011 01010 0110 00100 1011 111 1100 00011 "
    "0111 01011 100010 00001 110101 00110 1001 00010 "
    "100001 01000 110111";
inline constexpr std::string_view kSv7SampleCodeSet1Res1 =
    "01100111 0111110 011100001 0110111 0011 0110100 01100101 0111100 "
    "011100011 011000 0000 0111101 0100 1 0101 0111111 "
    "0001 0111011 011100010 0111001 01100100 0110101 0010 0110110 "
    "011100000 0111010 01100110";
inline constexpr std::string_view kSv7SampleCodeSet0Res2 =
    "1011001 101111 01111 00000 1011011 00100 0110 1101 "
    "0100 00101 10100 1100 100 1111 01110 00011 "
    "0011 1110 0101 00001 1011010 00010 10101 101110 "
    "1011000";
inline constexpr std::string_view kSv7SampleCodeSet1Res2 =
    "1110011001 1110001 110011 11100111 1110011010 1101000 11110 000 "
    "11101 1101001 110010 001 10 011 110001 1101011 "
    "11011 010 11111 1110000 1110011000 1101010 110000 1110010 "
    "1110011011";
inline constexpr std::string_view kSv7SampleCodeSet0Res3 = "1100 100 00 01 111 101 1101";
inline constexpr std::string_view kSv7SampleCodeSet1Res3 = "00100 0011 10 11 01 000 00101";
inline constexpr std::string_view kSv7SampleCodeSet0Res4 = "0101 000 100 110 111 101 011 001 0100";
inline constexpr std::string_view kSv7SampleCodeSet1Res4 = "01001 1100 011 00 10 111 1101 0101 01000";
inline constexpr std::string_view kSv7SampleCodeSet0Res5 =
    "111001 10111 1000 1010 1101 000 010 011 001 1111 1100 1001 11101 10110 111000";
inline constexpr std::string_view kSv7SampleCodeSet1Res5 =
    "11100101 111000 00111 0010 000 011 101 110 100 010 1111 11101 00110 1110011 11100100";
inline constexpr std::string_view kSv7SampleCodeSet0Res6 =
    "1000001 000110 101100 101101 111011 01101 10001 10011 "
    "10111 10101 11010 11110 0000 0010 0101 0111 "
    "0011 0100 11111 11100 11001 11011 11000 10100 "
    "10010 01100 00010 111010 100001 000111 1000000";
inline constexpr std::string_view kSv7SampleCodeSet1Res6 =
    "1100101001000 1100101001010 1100101000 110010101 11001011 1100110 110001 01001 "
    "01111 11111 0010 0110 1000 1011 1101 000 "
    "1110 1010 1001 0101 0011 11110 01110 01000 "
    "110000 1100111 11001001 11001000 11001010011 1100101001001 1100101001011";
inline constexpr std::string_view kSv7SampleCodeSet0Res7 =
    "01100111 10011001 10110101 11101001 1000000 1000001 1001101 1010001 "
    "1011011 1110001 1110000 011000 011101 100011 100101 101001 "
    "101100 101110 110011 110001 110110 110111 111001 111100 "
    "00000 00010 01010 00101 01001 00110 01101 00111 "
    "01011 01111 01000 00100 00011 00001 111111 111110 "
    "111101 110101 111011 110100 110000 101111 101011 101010 "
    "100111 100100 100001 011100 1110101 1100101 1100100 1010000 "
    "1000101 1000100 0110010 11101000 10110100 10011000 01100110";
inline constexpr std::string_view kSv7SampleCodeSet1Res7 =
    "11011110100100 11011110101101 11011110100110 11011110101110 110111101010 1011110000 1011110001 010100000 "
    "010100010 110111100 01111010 11011111 0111100 1001001 1101110 001110 "
    "011000 011001 100010 100101 110110 00011 01001 01011 "
    "10000 10011 10101 11000 11010 11101 11111 0010 "
    "0000 11110 11100 11001 10110 10100 01110 01101 "
    "01000 00110 00010 101110 100011 011111 010101 001111 "
    "1011111 1001000 0101001 10111101 01111011 101111001 010100001 1101111011 "
    "0101000111 0101000110 110111101000 11011110101111 11011110100111 11011110101100 11011110100101";
// clang-format on

// Which table, in the order the decoder fills and prepares them: the
// twelve tables of stream versions 4 to 6, then the seventeen of version 7.
enum TableId : uint8_t {
  Sv46ResCodeA,
  Sv46ResCodeB,
  Sv46ResCodeC,
  Sv46ScfSelectCode,
  Sv46ScfDeltaCode,
  Sv46SampleCodeRes1,
  Sv46SampleCodeRes2,
  Sv46SampleCodeRes3,
  Sv46SampleCodeRes4,
  Sv46SampleCodeRes5,
  Sv46SampleCodeRes6,
  Sv46SampleCodeRes7,
  Sv7ResDeltaCode,
  Sv7ScfSelectCode,
  Sv7ScfDeltaCode,
  Sv7SampleCodeSet0Res1,
  Sv7SampleCodeSet1Res1,
  Sv7SampleCodeSet0Res2,
  Sv7SampleCodeSet1Res2,
  Sv7SampleCodeSet0Res3,
  Sv7SampleCodeSet1Res3,
  Sv7SampleCodeSet0Res4,
  Sv7SampleCodeSet1Res4,
  Sv7SampleCodeSet0Res5,
  Sv7SampleCodeSet1Res5,
  Sv7SampleCodeSet0Res6,
  Sv7SampleCodeSet1Res6,
  Sv7SampleCodeSet0Res7,
  Sv7SampleCodeSet1Res7,
  kTableCount
};

// The syntax's own numbers that decide which table a frame reads, and how
// many words: both frame syntaxes and the table builders take them from here.
// Every frame opens with a field of this many bits: the bits of its body.
inline constexpr uint32_t kLengthFieldBits = 20;
inline constexpr int kSubbands = 32;
inline constexpr int kSamplesPerSubband = 36;
// Resolutions 1..kMaxCodedResolution are coded with the sample tables;
// those above, up to kMaxResolution, as fixed-width fields of resolution - 1
// bits. Version 7 also has -kMaxResolution..-1 (no sample bits) and ends a
// frame at any resolution outside them.
inline constexpr int kMaxCodedResolution = 7;
inline constexpr int kMaxResolution = 17;
inline constexpr int kResolutions = kMaxResolution + 1;  // 0..kMaxResolution
constexpr bool IsCodedResolution(int32_t resolution) {
  return resolution >= 1 && resolution <= kMaxCodedResolution;
}
// The bits of one sample's fixed-width field; 0 for the other resolutions.
constexpr uint32_t FieldBitsOfResolution(int32_t resolution) {
  return resolution > kMaxCodedResolution ? static_cast<uint32_t>(resolution - 1) : 0;
}
// The value of Sv7ResDeltaCode after which a plain resolution follows.
inline constexpr int32_t kSv7ResEscape = 4;
inline constexpr uint32_t kResolutionFieldBits = 4;
// The value of Sv7ScfDeltaCode after which a plain scale-factor index follows.
inline constexpr int32_t kSv7ScfEscape = 8;
inline constexpr uint32_t kScfIndexBits = 6;
// The scale-factor indexes each selection pattern codes: 0 all three, 1 the
// first two, 2 the first and the third, 3 the first alone.
inline constexpr uint32_t kScaleFactorsOfPattern[4] = {3, 2, 2, 1};

// Version 7: the words of one channel's coded samples in a subband; a word
// codes three samples at resolution 1, two at resolution 2.
constexpr uint32_t Sv7SampleWords(int resolution) {
  return resolution == 1   ? kSamplesPerSubband / 3
         : resolution == 2 ? kSamplesPerSubband / 2
                           : kSamplesPerSubband;
}

constexpr TableId Sv7SampleTableId(int set, int resolution) {
  return static_cast<TableId>(Sv7SampleCodeSet0Res1 + 2 * (resolution - 1) + set);
}
constexpr TableId Sv46SampleTableId(int resolution) {
  return static_cast<TableId>(Sv46SampleCodeRes1 + resolution - 1);
}
// Versions 4 to 6: the resolution code of a band.
constexpr TableId Sv46ResCodeFor(int band) {
  return band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
}

struct CodeTableSpec {
  std::string_view name;
  std::string_view codes;  // code words in value order
  uint32_t count;          // number of code words
  int32_t offset;          // value of the k-th word is k - offset
  uint32_t depth;          // look-ahead of the lookup the syntax reads it with
};

inline constexpr CodeTableSpec kCodeTables[kTableCount] = {
    {"Sv46ResCodeA", kSv46ResCodeA, 16, 0, 14},
    {"Sv46ResCodeB", kSv46ResCodeB, 8, 0, 14},
    {"Sv46ResCodeC", kSv46ResCodeC, 4, 0, 14},
    {"Sv46ScfSelectCode", kSv46ScfSelectCode, 8, 0, 6},
    {"Sv46ScfDeltaCode", kSv46ScfDeltaCode, 13, 6, 10},
    {"Sv46SampleCode res 1", kSv46SampleCodeRes1, 3, 1, 10},
    {"Sv46SampleCode res 2", kSv46SampleCodeRes2, 5, 2, 10},
    {"Sv46SampleCode res 3", kSv46SampleCodeRes3, 7, 3, 10},
    {"Sv46SampleCode res 4", kSv46SampleCodeRes4, 9, 4, 10},
    {"Sv46SampleCode res 5", kSv46SampleCodeRes5, 15, 7, 10},
    {"Sv46SampleCode res 6", kSv46SampleCodeRes6, 31, 15, 10},
    {"Sv46SampleCode res 7", kSv46SampleCodeRes7, 63, 31, 10},
    {"Sv7ResDeltaCode", kSv7ResDeltaCode, 10, 5, 10},
    {"Sv7ScfSelectCode", kSv7ScfSelectCode, 4, 0, 5},
    {"Sv7ScfDeltaCode", kSv7ScfDeltaCode, 16, 7, 10},
    {"Sv7SampleCode set 0 res 1", kSv7SampleCodeSet0Res1, 27, 0, 10},
    {"Sv7SampleCode set 1 res 1", kSv7SampleCodeSet1Res1, 27, 0, 10},
    {"Sv7SampleCode set 0 res 2", kSv7SampleCodeSet0Res2, 25, 0, 10},
    {"Sv7SampleCode set 1 res 2", kSv7SampleCodeSet1Res2, 25, 0, 10},
    {"Sv7SampleCode set 0 res 3", kSv7SampleCodeSet0Res3, 7, 3, 5},
    {"Sv7SampleCode set 1 res 3", kSv7SampleCodeSet1Res3, 7, 3, 5},
    {"Sv7SampleCode set 0 res 4", kSv7SampleCodeSet0Res4, 9, 4, 5},
    {"Sv7SampleCode set 1 res 4", kSv7SampleCodeSet1Res4, 9, 4, 5},
    {"Sv7SampleCode set 0 res 5", kSv7SampleCodeSet0Res5, 15, 7, 10},
    {"Sv7SampleCode set 1 res 5", kSv7SampleCodeSet1Res5, 15, 7, 10},
    {"Sv7SampleCode set 0 res 6", kSv7SampleCodeSet0Res6, 31, 15, 14},
    {"Sv7SampleCode set 1 res 6", kSv7SampleCodeSet1Res6, 31, 15, 14},
    {"Sv7SampleCode set 0 res 7", kSv7SampleCodeSet0Res7, 63, 31, 14},
    {"Sv7SampleCode set 1 res 7", kSv7SampleCodeSet1Res7, 63, 31, 14},
};

// Total number of code words over all tables.
inline constexpr uint32_t kTotalCodeCount = [] {
  uint32_t n = 0;
  for (const auto& t : kCodeTables) n += t.count;
  return n;
}();

// One code word of a table, right-aligned, as listed (before preparation).
struct CodeWord {
  uint32_t code;
  uint32_t length;
};

// Calls visit(CodeWord) for each word of a table's listing, in value order.
template <class Visit>
constexpr void ForEachCodeWord(std::string_view codes, Visit visit) {
  CodeWord word{0, 0};
  for (char c : codes) {
    if (c == '0' || c == '1') {
      word.code = (word.code << 1) | static_cast<uint32_t>(c - '0');
      ++word.length;
    } else if (word.length != 0) {
      visit(word);
      word = {0, 0};
    }
  }
  if (word.length != 0) visit(word);
}

constexpr uint32_t LongestCode(std::string_view codes) {
  uint32_t longest = 0;
  ForEachCodeWord(codes, [&](CodeWord w) { longest = w.length > longest ? w.length : longest; });
  return longest;
}

// True when no word is a prefix of another and the words cover every bit
// sequence (Kraft sum exactly 1): then every look-ahead window matches
// exactly one word, which is what the lookups rely on to stop.
constexpr bool IsCompletePrefixCode(std::string_view codes) {
  constexpr uint32_t kScale = 1u << 16;
  uint32_t kraft = 0;
  bool prefixFree = true;
  ForEachCodeWord(codes, [&](CodeWord a) {
    if (a.length > 16) prefixFree = false;
    kraft += kScale >> a.length;
    uint32_t equal = 0;  // a itself, and any duplicate of it
    ForEachCodeWord(codes, [&](CodeWord b) {
      if (b.length == a.length && b.code == a.code) ++equal;
      if (b.length > a.length && (b.code >> (b.length - a.length)) == a.code) prefixFree = false;
    });
    if (equal != 1) prefixFree = false;
  });
  return prefixFree && kraft == kScale;
}

constexpr bool TablesAreSound() {
  for (const auto& t : kCodeTables) {
    uint32_t n = 0;
    ForEachCodeWord(t.codes, [&](CodeWord) { ++n; });
    if (n != t.count || !IsCompletePrefixCode(t.codes) || LongestCode(t.codes) > t.depth) return false;
  }
  return true;
}
static_assert(TablesAreSound(), "a code table is not a complete prefix code of its listed size");

}  // namespace velkscan
