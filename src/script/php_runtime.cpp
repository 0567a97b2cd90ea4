// The embedded PHP engine, built as a module of its own that the program loads when it
// starts the script engine. Every run is a PHP request of its own, so whatever a script
// leaves behind (globals, functions, a fatal error, a timeout) is gone before the next run.
#include "script/script_engine.h"

#include <pthread.h>
#include <csignal>
#include <cstring>
#include <iterator>
#include <thread>

// PHP's headers come last: they define macros (snprintf, SUCCESS, ...) that should not
// reach Qt's or the standard headers.
#include <sapi/embed/php_embed.h>
#include <zend_exceptions.h>

namespace {

// The name PHP gives the evaluated text in its messages ("... in script:3").
constexpr char kScriptName[] = "script";

using TErrorCallback = void (*)(int, zend_string*, const uint32_t, zend_string*);

// The first fatal error reported while a run is being watched. PHP reports errors through
// the process-wide zend_error_cb, so this is file state rather than engine state.
struct TCapturedError {
    bool watching = false;
    bool failed = false;
    uint32_t line = 0;
    QByteArray message;
    const QByteArray* reading = nullptr;  // the variable being read back, if any
    QByteArray variable;                  // the variable whose reading failed
};

TCapturedError s_error;
TErrorCallback s_phpErrorCallback = nullptr;
bool s_phpStarted = false;  // PHP's embed SAPI starts at most once per process
std::thread::id s_ownerThread;

// The signals PHP takes over while a request runs, its timeout signal SIGPROF among them,
// and SIGPIPE, which php_embed_init ignores for the whole process.
constexpr int kPhpSignals[] = {SIGPROF, SIGALRM, SIGHUP,  SIGINT, SIGQUIT,
                               SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE};

// The handlers of kPhpSignals as they were when this was made. PHP installs its handlers
// at each request and leaves them there; at the next request it finds its own and then
// forwards signals to the handlers it saw when the engine started, so a handler the
// program installed since would be lost. Putting the program's handlers back after every
// request keeps them working. While PHP's handlers are in place the termination signals
// are held back (blocked) rather than met by PHP, which would swallow them; they arrive
// at the program's own handlers once those are back.
class TSignalHandlers {
public:
    TSignalHandlers() {
        for (size_t i = 0; i < std::size(kPhpSignals); ++i) {
            sigaction(kPhpSignals[i], nullptr, &m_saved[i]);
        }
        sigset_t hold;
        sigemptyset(&hold);
        for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2}) {
            sigaddset(&hold, number);
        }
        pthread_sigmask(SIG_BLOCK, &hold, &m_savedMask);
    }
    ~TSignalHandlers() { pthread_sigmask(SIG_SETMASK, &m_savedMask, nullptr); }
    TSignalHandlers(const TSignalHandlers&) = delete;
    TSignalHandlers& operator=(const TSignalHandlers&) = delete;

    // Puts the program's handlers back; held-back signals reach them when this object ends.
    void Restore() const {
        for (size_t i = 0; i < std::size(kPhpSignals); ++i) {
            sigaction(kPhpSignals[i], &m_saved[i], nullptr);
        }
    }

private:
    struct sigaction m_saved[std::size(kPhpSignals)];
    sigset_t m_savedMask;
};

// What a script prints goes nowhere.
size_t DiscardOutput(const char*, size_t length) {
    return length;
}

// Sits in front of PHP's own error callback and notes the first fatal error of a run.
// PHP's callback runs last because for fatal errors it leaves with a longjmp.
void CaptureError(int type, zend_string* file, const uint32_t line, zend_string* message) {
    if (s_error.watching && !s_error.failed && (type & E_FATAL_ERRORS) != 0) {
        s_error.failed = true;
        s_error.line = line;
        s_error.message = QByteArray(ZSTR_VAL(message), ZSTR_LEN(message));
        if (s_error.reading != nullptr) {
            s_error.variable = *s_error.reading;
        }
    }
    s_phpErrorCallback(type, file, line, message);
}

// PHP's message cut to its first line. An uncaught exception's message names its place
// as " in script:LINE" and adds a stack trace; the line is reported apart.
QByteArray ShortMessage(QByteArray message) {
    const qsizetype end = message.indexOf('\n');
    if (end >= 0) {
        message.truncate(end);
    }
    const QByteArray place = QByteArray(" in ") + kScriptName + ':';
    const qsizetype at = message.lastIndexOf(place);
    if (at >= 0) {
        const QByteArray tail = message.mid(at + place.size());
        bool isNumber = false;
        tail.toUInt(&isNumber);
        if (isNumber) {
            message.truncate(at);
        }
    }
    return message.trimmed();
}

QByteArray FailureText() {
    if (!s_error.failed) {
        return "Script error: the script stopped without saying why";
    }
    const QByteArray message = ShortMessage(s_error.message);
    if (!s_error.variable.isEmpty()) {
        return "Script error: the value of $" + s_error.variable +
               " cannot be read as text: " + message;
    }
    if (s_error.line == 0) {
        return "Script error: " + message;
    }
    return "Script error on line " + QByteArray::number(s_error.line) + ": " + message;
}

// Changes an ini setting for the current request only; PHP restores it when the request
// ends.
bool SetIni(const char* name, const char* value) {
    zend_string* key = zend_string_init(name, std::strlen(name), false);
    const zend_result result = zend_alter_ini_entry_chars(key, value, std::strlen(value),
                                                          ZEND_INI_SYSTEM, ZEND_INI_STAGE_RUNTIME);
    zend_string_release(key);
    return result == SUCCESS;
}

// What one run hands to the code inside the bailout guard, and what it gets back.
struct TRunContext {
    const QByteArray* code;
    const QList<TScriptVariable>* variables;
    QList<QByteArray>* values;  // the variables' values after the run, in the same order
    bool completed;             // set when the script ran and every value was read back
};

// Reads a global variable back as text. Returns false (with the failure noted) when its
// value has no text form.
bool ReadVariable(const QByteArray& name, QByteArray& value) {
    zval* found = zend_hash_str_find(&EG(symbol_table), name.constData(), name.size());
    if (found != nullptr && Z_TYPE_P(found) == IS_INDIRECT) {
        found = Z_INDIRECT_P(found);  // a global the compiled script held in a slot
    }
    if (found == nullptr) {
        value.clear();
        return true;
    }
    ZVAL_DEREF(found);
    if (Z_TYPE_P(found) == IS_UNDEF || Z_TYPE_P(found) == IS_NULL) {
        value.clear();
        return true;
    }
    // An object without text form is a fatal error here; one with __toString runs script
    // code, which may fail in any way.
    s_error.reading = &name;
    zend_string* text = zval_try_get_string(found);
    s_error.reading = nullptr;
    if (text == nullptr) {
        zend_clear_exception();
        s_error.failed = true;
        s_error.line = 0;
        s_error.message = "no text form";
        s_error.variable = name;
        return false;
    }
    // ZSTR_VAL is declared as a one-char array; the length must be given.
    value = QByteArray(ZSTR_VAL(text), ZSTR_LEN(text));
    zend_string_release(text);
    return true;
}

// The body of a run, inside the current request. A fatal error leaves it by longjmp, so it
// keeps no C++ object with a destructor alive across a PHP call.
void RunInRequest(void* data) {
    TRunContext& context = *static_cast<TRunContext*>(data);

    // Short open tags so that "<? ... ?>" opens PHP; errors are neither shown nor logged;
    // no hard timeout, which would end the whole program when a timed-out script does not
    // stop in time.
    if (!SetIni("short_open_tag", "1") || !SetIni("display_errors", "0") ||
        !SetIni("log_errors", "0") || !SetIni("hard_timeout", "0")) {
        s_error.failed = true;
        s_error.message = "the script engine could not be set up for the run";
        return;
    }
    SG(headers_sent) = 1;
    SG(request_info).no_headers = 1;

    const QList<TScriptVariable>& variables = *context.variables;
    for (const TScriptVariable& variable : variables) {
        zval value;
        ZVAL_STRINGL(&value, variable.value.constData(), variable.value.size());
        zend_hash_str_update(&EG(symbol_table), variable.name.constData(), variable.name.size(),
                             &value);
    }

    zend_set_timeout(TScriptEngine::kTimeLimitSeconds, true);
    zend_eval_stringl_ex(context.code->constData(), context.code->size(), nullptr, kScriptName,
                         true);
    // An uncaught exception or a parse error has been reported through the error callback
    // by now. A failed evaluation with nothing reported is exit(), a normal end.
    if (s_error.failed) {
        return;
    }

    QList<QByteArray>& values = *context.values;
    for (qsizetype i = 0; i < variables.size(); ++i) {
        if (!ReadVariable(variables[i].name, values[i])) {
            return;
        }
    }
    context.completed = !s_error.failed;  // a __toString may have failed fatally
}

// Calls body inside PHP's bailout guard. Returns false when a fatal error bailed out.
bool CallGuarded(void (*body)(void*), void* data) {
    volatile bool bailedOut = false;
    zend_try {
        body(data);
    }
    zend_catch {
        bailedOut = true;
    }
    zend_end_try();
    return !bailedOut;
}

}  // namespace

// The PHP runtime behind TScriptEngine. Main thread only.
class TPhpRuntime final : public IScriptRuntime {
public:
    bool Start() override;
    void Shutdown() override;
    bool Run(const QByteArray& script, QList<TScriptVariable>& variables,
             QByteArray& failure) override;

private:
    bool m_active = false;
    bool m_requestOpen = false;
};

bool TPhpRuntime::Start() {
    if (m_active) {
        return true;
    }
    // PHP does not support starting its embed SAPI a second time in one process.
    if (s_phpStarted) {
        return false;
    }
    s_phpStarted = true;

    // Output is discarded, and the machine's php.ini and conf.d are ignored: the scripts
    // get PHP's built-in defaults and no extensions from the system configuration.
    php_embed_module.ub_write = &DiscardOutput;
    php_embed_module.php_ini_ignore = 1;
    static char programName[] = "quiva";
    static char* arguments[] = {programName, nullptr};
    const TSignalHandlers programHandlers;
    if (php_embed_init(1, arguments) != SUCCESS) {
        programHandlers.Restore();
        return false;
    }
    m_requestOpen = true;

    // php_embed_init opens a request; each run opens its own instead.
    php_request_shutdown(nullptr);
    m_requestOpen = false;
    programHandlers.Restore();

    s_phpErrorCallback = zend_error_cb;
    zend_error_cb = &CaptureError;
    s_ownerThread = std::this_thread::get_id();
    m_active = true;
    return true;
}

void TPhpRuntime::Shutdown() {
    if (!m_active) {
        return;
    }
    zend_error_cb = s_phpErrorCallback;
    const TSignalHandlers programHandlers;
    // php_embed_shutdown ends the current request before the engine, so it needs one open.
    if (!m_requestOpen && php_request_startup() == SUCCESS) {
        m_requestOpen = true;
    }
    php_embed_shutdown();
    programHandlers.Restore();
    m_requestOpen = false;
    m_active = false;
}

bool TPhpRuntime::Run(const QByteArray& script, QList<TScriptVariable>& variables,
                      QByteArray& failure) {
    failure.clear();
    if (!m_active) {
        failure = "The script engine is not running";
        return false;
    }
    if (std::this_thread::get_id() != s_ownerThread) {
        failure = "The script engine can only run scripts on the thread that started it";
        return false;
    }

    // A leading "?>" makes PHP read the text the way it reads a file: plain text up to
    // the first open tag.
    const QByteArray body = script.contains("<?") ? script : "<? " + script + " ?>";
    const QByteArray code = "?>" + body;
    QList<QByteArray> values(variables.size());
    TRunContext context{&code, &variables, &values, false};

    // PHP's signal handlers are in place only while the request lasts. A script ignores
    // SIGPIPE, as PHP expects, so that writing to a closed pipe fails instead of ending the
    // program.
    const TSignalHandlers programHandlers;
    std::signal(SIGPIPE, SIG_IGN);
    if (php_request_startup() != SUCCESS) {
        // PHP's own programs give up on the engine at this point; so does this one.
        programHandlers.Restore();
        m_active = false;
        m_requestOpen = true;
        failure = "The script engine could not start a run";
        return false;
    }
    m_requestOpen = true;
    s_error = TCapturedError{};
    s_error.watching = true;
    const bool finished = CallGuarded(&RunInRequest, &context);
    s_error.watching = false;
    // Shutdown functions and destructors of the script run here, after the values were
    // read, still under the time limit; their errors do not change the outcome.
    php_request_shutdown(nullptr);
    zend_unset_timeout();  // the timer is off before SIGPROF gets its old handler back
    m_requestOpen = false;
    programHandlers.Restore();

    if (!finished || !context.completed) {
        failure = FailureText();
        return false;
    }
    for (qsizetype i = 0; i < variables.size(); ++i) {
        variables[i].value = values[i];
    }
    return true;
}

// The module's entry point: the one runtime of the process.
extern "C" __attribute__((visibility("default"))) IScriptRuntime* QuivaScriptRuntime() {
    static TPhpRuntime runtime;
    return &runtime;
}
