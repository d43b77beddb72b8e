// Freed memory searched for a secret: a program that compiles FreedMemoryWatch.cpp replaces the
// global operator new and delete, and while a watch runs every block given back through
// operator delete is searched for the text in UTF-16 and in its one-byte form (the two wire
// encodings of an ASCII text). Every freed block is then overwritten, so a use after free
// crashes rather than reading stale data.
#pragma once

namespace testsupport::freedwatch {

void Start(const wchar_t* text);
// Ends the watch; the number of freed blocks that still held the text.
int Stop();

}  // namespace testsupport::freedwatch
