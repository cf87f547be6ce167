// Whole-file scrambling of configuration and transcript files: every byte is
// combined by exclusive-or with a fixed 17-byte key repeated over the file,
// so the same operation scrambles and unscrambles.
//
// Transcripts are always scrambled. Configuration files are scrambled until
// the marker file "decode.xml" is found in the machine-wide component folder;
// from then on, for the life of the process, they are written as plain XML.
// The switch is an atomic flag; every function may be called from any thread.
#ifndef TVUT_CONFIG_UTSCRAMBLER_H
#define TVUT_CONFIG_UTSCRAMBLER_H

#include <string>

// Scrambles (or unscrambles) bytes in place, key index = offset % 17.
void ScrambleBytes(std::string* bytes);

// Is scrambling of configuration files still on in this process?
bool IsConfigScramblingOn();

// Looks for "decode.xml" in the machine-wide component folder and switches
// configuration scrambling off for good when it is there.
void CheckDecodeMarker();

#endif  // TVUT_CONFIG_UTSCRAMBLER_H
