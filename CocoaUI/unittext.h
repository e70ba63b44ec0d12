// The editor's side of the unit's text property: decoding what the unit holds,
// and cutting what the field holds to what the field and the buffer take.
#pragma once

#include <QString>

class QTextEdit;

// The field's limit, in UTF-16 units as the field counts them.
constexpr int kGlimmFieldMaxLength = 256;

// Valid UTF-8 as it is, anything else as Latin-1: no byte is lost.
QString decodeUnitText(const char* text, int size);
// Length of the text in a buffer of kGlimmTextBufferSize bytes from the unit.
int receivedTextLength(const char* buffer);
// The longest prefix of text, in UTF-16 units, that fits the field and the
// unit's buffer once encoded.
int fittingPrefixLength(const QString& text);
// The field's text as the unit gets it.
QString fieldText(const QTextEdit* field);
