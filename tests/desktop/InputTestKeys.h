#pragma once

// Keys of the test's own X connection, by keysym name ("Alt_L", "Super_L", "Control_L", "v").
namespace quillory::test {

int keycodeOf(const char* keysymName);
/// Presses or releases the key through XTest, as a user's keyboard would.
void fakeKey(const char* keysymName, bool down);
/// Whether the server sees the key down.
bool isKeyDown(const char* keysymName);

} // namespace quillory::test
