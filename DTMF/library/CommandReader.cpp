// STUB
#include "CommandReader.h"
CommandReader::CommandReader(HWND h) : hwnd(h), lastKeyTime(0) {}
CommandReader::CommandReader(HWND h, Clock c) : hwnd(h), lastKeyTime(0), clock(std::move(c)) {}
CommandReader::~CommandReader() = default;
void CommandReader::ProcessChar(char) {}
bool CommandReader::Valid() { return false; }
void CommandReader::Ping() {}
