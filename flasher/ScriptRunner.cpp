#include "flasher/ScriptRunner.h"

#include "flasher/AtEngine.h"
#include "flasher/DeviceOperations.h"
#include "flasher/Library.h"
#include "platform/Text.h"

#include <mxml.h>

#include <cstring>
#include <string>

namespace flasher {
namespace {

constexpr char kModeElement[] = "mode";
constexpr char kCommandElement[] = "at_cmd";

// The runner whose parse is in progress: Mini-XML reports errors through one global callback.
ScriptRunner* activeRunner = nullptr;

// Content of elements typed (by a "type" attribute, else by their name) integer, opaque, pre or
// real is not delivered as text words, so it does nothing.
mxml_type_t contentType(mxml_node_t* node) {
    const char* type = mxmlElementGetAttr(node, "type");
    if (type == nullptr)
        type = mxmlGetElement(node);
    if (type == nullptr)
        return MXML_TEXT;
    if (std::strcmp(type, "integer") == 0)
        return MXML_INTEGER;
    if (std::strcmp(type, "opaque") == 0 || std::strcmp(type, "pre") == 0)
        return MXML_OPAQUE;
    if (std::strcmp(type, "real") == 0)
        return MXML_REAL;
    return MXML_TEXT;
}

void saxEvent(mxml_node_t* node, mxml_sax_event_t event, void* data) {
    static_cast<ScriptRunner*>(data)->handleEvent(node, event);
}

void parseError(const char* message) {
    if (activeRunner != nullptr)
        activeRunner->reportParseError(message);
}

// Appends `word` (after `separator` when given) to a zero-terminated buffer; false when the
// result would not fit.
bool append(char* buffer, size_t capacity, const char* separator, const char* word) {
    const size_t used = std::strlen(buffer);
    const size_t extra = std::strlen(separator) + std::strlen(word);
    if (used + extra + 1 > capacity)
        return false;
    std::strcat(buffer, separator);
    std::strcat(buffer, word);
    return true;
}

} // namespace

int32_t scriptModeNumber(const char* name) {
    if (platform::equalIgnoringCase(name, "modem"))
        return kFfModeModem;
    if (platform::equalIgnoringCase(name, "loader"))
        return kFfModeLoader;
    if (platform::equalIgnoringCase(name, "factory_test"))
        return kFfModeFactoryTest;
    return kFfModeOther;
}

FfResult ScriptRunner::run(const char* script, size_t length, const wchar_t* applicationPath,
                           const wchar_t* diagnosticPath) {
    Library& object = library();
    object.scriptEventsSeen = 0;
    object.scriptRunResult = kFfOk;
    state_ = kNone;
    stopped_ = false;
    applicationPath_ = applicationPath;
    diagnosticPath_ = diagnosticPath;

    // The parser wants a zero-terminated text; the script is bounded by its length (and by a
    // zero byte inside it).
    const std::string text = script ? std::string(script, strnlen(script, length)) : std::string();
    // The parse hangs its nodes below a holder of ours, so what the parser leaves behind on an
    // error (a top-level element whose attributes are malformed) is freed with the holder. Its
    // name holds a blank, which no close tag can carry, so no script can close it.
    mxml_node_t* holder = mxmlNewElement(MXML_NO_PARENT, " ");
    if (holder == nullptr) {
        reportParseError("out of memory");
        object.scriptEventsHandled = 0;
        return kFfScriptCommandFailed;
    }
    if (!text.empty() && text[0] != '<') {
        // Below a holder the parser would take text before the first tag as content; at the top
        // a document must start with its first tag, so that stays an error.
        reportParseError(
            ("XML does not start with '<' (saw '" + text.substr(0, 1) + "').").c_str());
    } else {
        activeRunner = this;
        mxmlSetErrorCallback(parseError);
        mxmlSAXLoadString(holder, text.c_str(), contentType, saxEvent, this);
        mxmlSetErrorCallback(nullptr);
        activeRunner = nullptr;
    }
    mxmlDelete(holder);

    if (!stopped_) {
        object.scriptEventsHandled = 0;
        return object.scriptRunResult;
    }
    if (object.scriptRunResult != kFfModeChanging)
        object.scriptEventsHandled = 0;
    return object.scriptRunResult;
}

void ScriptRunner::reportParseError(const char* message) {
    // A malformed script ends the run with the result of the events before the fault.
    log(kLevelError, "Script parse error: %s", message);
}

void ScriptRunner::handleEvent(void* opaqueNode, int event) {
    // Mini-XML cannot be stopped from a callback: once stopped, the runner ignores the rest.
    if (stopped_)
        return;
    Library& object = library();
    object.scriptEventsSeen += 1;
    if (object.scriptEventsSeen <= object.scriptEventsHandled)
        return;
    object.scriptEventsHandled += 1;

    auto* node = static_cast<mxml_node_t*>(opaqueNode);
    switch (event) {
    case MXML_SAX_COMMENT:
        state_ = kAfterComment;
        break;
    case MXML_SAX_ELEMENT_OPEN:
        openElement(mxmlGetElement(node));
        break;
    case MXML_SAX_ELEMENT_CLOSE:
        closeElement(mxmlGetElement(node));
        break;
    case MXML_SAX_DATA:
        if (mxmlGetType(node) == MXML_TEXT) {
            int whitespace = 0;
            const char* word = mxmlGetText(node, &whitespace);
            if (word != nullptr)
                textWord(word, whitespace != 0);
        }
        break;
    default:
        // CDATA sections and processing directives do nothing.
        break;
    }
}

void ScriptRunner::openElement(const char* name) {
    if (name && std::strcmp(name, kModeElement) == 0) {
        modeName_[0] = '\0';
        state_ = kInMode;
    } else if (name && std::strcmp(name, kCommandElement) == 0) {
        command_[0] = '\0';
        state_ = kInCommand;
    } else {
        state_ = kInOther;
    }
}

void ScriptRunner::closeElement(const char* name) {
    if (name && std::strcmp(name, kModeElement) == 0)
        finishMode();
    else if (name && std::strcmp(name, kCommandElement) == 0)
        finishCommand();
    else
        state_ = kAfterOther;
}

void ScriptRunner::textWord(const char* word, bool whitespaceBefore) {
    // Trailing whitespace reaches us as an empty word.
    if (word[0] == '\0')
        return;
    if (state_ == kInMode) {
        log(kLevelDebug, "Setting nextmode %s", word);
        if (!append(modeName_, sizeof modeName_, "", word)) {
            log(kLevelError, "Mode name too long: %s%s", modeName_, word);
            setLastError("Mode name in script too long (more than %d characters)",
                         static_cast<int>(sizeof modeName_ - 1));
            stop(kFfScriptCommandFailed);
        }
    } else if (state_ == kInCommand) {
        // Words are joined by single spaces. Whitespace before the first word is the script's
        // layout, not part of the command: the command goes out beginning with its "AT".
        const char* separator = whitespaceBefore && command_[0] != '\0' ? " " : "";
        if (!append(command_, sizeof command_, separator, word)) {
            log(kLevelError, "AT command too long: %s%s%s", command_, separator, word);
            setLastError("AT command in script too long (more than %d characters)",
                         static_cast<int>(sizeof command_ - 1));
            stop(kFfScriptCommandFailed);
            return;
        }
        log(kLevelDebug, "Building at command: %s", command_);
    }
}

void ScriptRunner::finishMode() {
    state_ = kAfterMode;
    const int32_t target = scriptModeNumber(modeName_);
    int32_t mode = 0;
    int result = readDeviceMode(applicationPath_, diagnosticPath_, mode);
    if (result != 0) {
        log(kLevelError, "Mode query failed, error : 0x%X, %s", static_cast<unsigned>(result),
            sharedLogger().lastError());
        setLastError("%s", sharedLogger().lastError());
        stop(kFfScriptModeFailed);
        return;
    }
    if (mode == target)
        return;
    result = setDeviceMode(applicationPath_, diagnosticPath_, target);
    if (result != 0) {
        log(kLevelError, "Mode changed failed, error : 0x%X, %s", static_cast<unsigned>(result),
            sharedLogger().lastError());
        setLastError("%s", sharedLogger().lastError());
        stop(kFfScriptModeFailed);
        return;
    }
    log(kLevelDebug, "Mode changed");
    stop(kFfModeChanging);
}

void ScriptRunner::finishCommand() {
    state_ = kAfterCommand;
    FfLogger& shared = sharedLogger();
    int result = 0;
    {
        PortGuard port;
        result = openDevicePort(applicationPath_, diagnosticPath_, port.handle);
        if (result != kOpenOk) {
            shared.log(kLevelDebug, "Error: Get port failed");
        } else {
            AtEngine engine;
            engine.takeLoggerOf(shared);
            result = engine.sendCommand(port.handle, command_, nullptr, 0);
            if (result != kAtOk) {
                shared.log(kLevelDebug, "SendAtCommand Failed, error: %s", engine.lastError());
                shared.setLastError("%s", engine.lastError());
            }
        }
    }
    if (result != 0) {
        log(kLevelError, "AT command '%s' failed, error : 0x%X, %s", command_,
            static_cast<unsigned>(result), shared.lastError());
        setLastError("AT command '%s' failed, error : 0x%X, %s", command_,
                     static_cast<unsigned>(result), shared.lastError());
        stop(kFfScriptCommandFailed);
        return;
    }
    log(kLevelDebug, "AT command '%s' sent", command_);
}

void ScriptRunner::stop(FfResult result) {
    library().scriptRunResult = result;
    stopped_ = true;
}

} // namespace flasher
