// Message lookup by number from the catalogue file grep.kvb, with ten
// argument slots. See message_catalogue.cpp for the file format.
#pragma once

#include <cstdint>

constexpr int32_t CATALOGUE_MAGIC = 0x1122;
constexpr int32_t CATALOGUE_PATH_MAX = 511;
constexpr int32_t MESSAGE_SLOT_SIZE = 512;

// The catalogue's file name; it lies in the program's directory.
constexpr char CATALOGUE_FILE_NAME[] = "grep.kvb";

void setCataloguePath(const char* directory, const char* fileName);
// The path the catalogue is read from.
const char* catalogueFilePath();
// The expanded text of the message; valid until the next call.
const char* messageText(int32_t number);
void setMessageArgument(int32_t slot, const char* text);
void setMessageNumberArgument(int32_t slot, int64_t value);
int32_t messageExists(int32_t number);
// Forgets the loaded file so that the next lookup reads it again (tests).
void resetMessageCatalogue();

// Message numbers below -CATALOGUE_INDEX_LIMIT make a catalogue not valid:
// the table would have to hold that many entries.
constexpr int64_t CATALOGUE_INDEX_LIMIT = 1 << 20;
// 1 when the bytes are a catalogue whose index and texts lie wholly inside
// them, else 0. Nothing outside [image, image + length) is read.
int32_t catalogueImageValid(const uint8_t* image, int64_t length);
// Entries in the text table: the highest index present plus one, 0 before a
// successful load.
int32_t messageTableCount();

// Message numbers the program prints.
constexpr int32_t MSG_NOT_FOUND = -2;
constexpr int32_t MSG_PATH_NOT_FOUND = -3;
constexpr int32_t MSG_NO_HANDLES = -4;
constexpr int32_t MSG_ACCESS_DENIED = -5;
constexpr int32_t MSG_OUT_OF_MEMORY = -8;
constexpr int32_t MSG_NO_MORE_ENTRIES = -18;
constexpr int32_t MSG_OPEN_FAILED = -32;
constexpr int32_t MSG_READ_FAILED = -33;
constexpr int32_t MSG_WRITE_FAILED = -34;
constexpr int32_t MSG_CLOSE_FAILED = -35;
constexpr int32_t MSG_DISK_FULL = -36;
constexpr int32_t MSG_BAD_EXECUTABLE = -37;
constexpr int32_t MSG_CANNOT_CREATE = -38;
constexpr int32_t MSG_BAD_STREAM_MODE = -52;
constexpr int32_t MSG_SHORT_TRANSFER = -53;
constexpr int32_t MSG_USAGE = -3600;
constexpr int32_t MSG_D_ARGUMENTS = -3625;
constexpr int32_t MSG_E_ARGUMENT = -3626;
constexpr int32_t MSG_TEXT_ALREADY_GIVEN = -3627;
constexpr int32_t MSG_F_ARGUMENT = -3628;
constexpr int32_t MSG_F_OPEN = -3629;
constexpr int32_t MSG_L_BEFORE_TEXT = -3630;
constexpr int32_t MSG_BAD_OPTION = -3631;
constexpr int32_t MSG_LIST_OPEN = -3632;
constexpr int32_t MSG_LIST_READ = -3633;
constexpr int32_t MSG_LIST_LINE_LONG = -3634;
constexpr int32_t MSG_D_SOURCE_OPEN = -3635;
constexpr int32_t MSG_D_DESTINATION_OPEN = -3636;
constexpr int32_t MSG_D_NO_MARKER = -3637;
constexpr int32_t MSG_D_WRITE = -3638;
constexpr int32_t MSG_FILE_OPEN = -3639;
constexpr int32_t MSG_BAD_WORD_SET = -3640;
constexpr int32_t MSG_BAD_PATTERN = -3641;
constexpr int32_t MSG_OUTPUT_FAILED = -3660;
constexpr int32_t MSG_L_WITHOUT_NAME = -3661;
constexpr int32_t MSG_T_WITHOUT_SPEC = -3662;
constexpr int32_t MSG_CATALOGUE_COPIED = -3663;
constexpr int32_t MSG_CATALOGUE_NOT_COPIED = -3664;
