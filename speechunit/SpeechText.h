// Text preparation between the unit's 8-bit text property and the synthesiser.
#pragma once

#include <cstddef>
#include <string>

// Reads at most maxLen bytes of `bytes`, stopping at the first NUL, and returns
// UTF-8 that is safe to hand to the synthesiser: only tab, newline and the
// characters of the scripts the voices read survive (glimmSpeakableCharacter);
// every other character (controls, unsupported scripts) becomes one space. A
// byte that is not part of valid UTF-8 is read as Latin-1, so legacy 8-bit
// text still speaks.
std::string glimmPrepareSpeechText(const char* bytes, size_t maxLen);

// Whether the preparation keeps this code point.
bool glimmSpeakableCharacter(char32_t c);
