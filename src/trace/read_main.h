// kq5trace --read: reading a trace where it was captured.
#pragma once

// True when the command line asks for --read.
bool IsReadCommand(int argc, wchar_t** argv);

int ReadMain(int argc, wchar_t** argv);
