// The program's string table: message texts looked up by numeric id, compiled
// into the program (the counterpart of a string-table resource).
#pragma once

// Copies the text of id into buffer (at most bufferSize - 1 characters and a
// NUL) and returns the number of characters copied; 0 when there is no such
// text or the buffer has no room.
int KTLoadStringResource(unsigned id, char16_t* buffer, int bufferSize);

// The text of id, or nullptr when the table has none.
const char16_t* KTFindStringResource(unsigned id);
