// The command line's options, one grammar for the window and the terminal: a table of
// options, each with its names, its value and its usage lines, read word by word.
#pragma once

#include <cstddef>
#include <string>

#include "foundation/socket.h"
#include "server/server_options.h"

// What the command line asks for.
struct CStartOptions {
    unsigned short m_nPort = 80;
    CListenAddress m_address;  // every address unless --bind
    CServerOptions m_server;   // what the request path reads
    bool m_bHelp = false;
    bool m_bVersion = false;
};

// One option of the table.
struct COptionSpec {
    const wchar_t* m_pszLong;   // "--port"
    const wchar_t* m_pszShort;  // "-p", or null
    const wchar_t* m_pszValue;  // the value's name in the usage ("N"), null when it takes none
    // Takes the option, with its value (empty when it takes none), into options; false with
    // refusal saying why, as one line without the program's name.
    bool (*m_pfnTake)(const std::wstring& value, CStartOptions& options, std::wstring& refusal);
    const wchar_t* m_pszHelp;  // what it does, for the usage; lines separated by '\n'
};

// Where the words of a command line come from, one at a time.
class CWordSource {
public:
    virtual ~CWordSource() = default;
    // The next word into *pWord; false when there is none.
    virtual bool TakeNext(std::wstring* pWord) = 0;
};

enum class OptionVerdict {
    kTaken,      // an option, taken with its value
    kNotOption,  // not an option: the document root ("-" alone included)
    kEnd,        // "--": every word after it is the root's
    kRefused,    // refusal says why
};

// Reads word into options: an option of the table, given as "--long", "-s" or
// "--long=value", whose value (when it takes one) is the next word of words.
OptionVerdict TakeOption(const std::wstring& word, CWordSource& words, CStartOptions& options,
                         std::wstring& refusal);

// The usage: how the programs are started and every option of the table, lines ending with
// "\n".
std::wstring UsageText();
