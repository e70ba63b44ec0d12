// Text preparation between the unit's 8-bit text property and the synthesiser.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace glimm {

// Reads at most maxLen bytes of `bytes`, stopping at the first NUL, and returns
// UTF-8 that is safe to hand to the synthesiser: only tab, newline and the
// characters of the scripts the voices read survive (speakableCharacter);
// every other character (controls, unsupported scripts) becomes one space. A
// byte that is not part of valid UTF-8 is read as Latin-1, so legacy 8-bit
// text still speaks.
std::string prepareSpeechText(const char* bytes, size_t maxLen);

// The words a keyboard sings one by one: prepared text split at white space,
// with the punctuation around each word dropped (in phonetic mode only the
// marks that end a phrase, since the others are phoneme symbols); a token with
// nothing else in it is a rest and is skipped.
std::vector<std::string> lyricWords(const std::string& prepared, bool phonetic);

// Prepared text made safe to read as phoneme mnemonics: the synthesiser
// overruns its buffers on a single phoneme word of a few hundred symbols, so
// longer runs are broken up with spaces.
std::string phonemeText(const std::string& prepared);

// Whether the preparation keeps this code point.
bool speakableCharacter(char32_t c);

}  // namespace glimm
