// Exception kinds of the converter and the error composer Excn, which turns a
// caught exception and the context it was caught in into one readable text.
#pragma once

#include <exception>
#include <iosfwd>
#include <optional>
#include <string>

namespace morv {

// Base of every exception the converter raises. name() is the printable name
// ("unhandled exception " + name); message() is empty for kinds without one.
class MorvException : public std::exception {
public:
    MorvException(std::string name, std::optional<std::string> message = std::nullopt);
    const std::string& name() const { return name_; }
    bool hasMessage() const { return message_.has_value(); }
    const std::string& message() const;
    const char* what() const noexcept override;

private:
    std::string name_;
    std::optional<std::string> message_;
};

struct CLOptionsError : MorvException {
    explicit CLOptionsError(std::string m) : MorvException("CLOptionsError", std::move(m)) {}
};
struct NoImporterFound : MorvException {
    NoImporterFound() : MorvException("NoImporterFound") {}
};
struct MultipleImportersFound : MorvException {
    MultipleImportersFound() : MorvException("MultipleImportersFound") {}
};
// Format error of the IFF object readers.
struct SyntaxError : MorvException {
    explicit SyntaxError(std::string m) : MorvException("SyntaxError", std::move(m)) {}
};
// Format error of the brush text reader; a kind of its own with the same printable name.
struct BrushSyntaxError : MorvException {
    explicit BrushSyntaxError(std::string m) : MorvException("SyntaxError", std::move(m)) {}
};
struct Error : MorvException {
    Error() : MorvException("Error") {}
    explicit Error(std::string m) : MorvException("Error", std::move(m)) {}
};
struct Bug : MorvException {
    Bug() : MorvException("Bug") {}
    explicit Bug(std::string m) : MorvException("Bug", std::move(m)) {}
};
// Generic failure: a bug flag, a type name and a message.
struct EGeneric : MorvException {
    EGeneric(bool isBug, std::string typeName, std::string m)
        : MorvException("EGeneric", m), bug(isBug), type(std::move(typeName)) {}
    bool bug;
    std::string type;
};
// Kinds that carry nothing, or whose payload is not printed: only their name matters.
struct NamedException : MorvException {
    explicit NamedException(std::string name, std::optional<std::string> m = std::nullopt)
        : MorvException(std::move(name), std::move(m)) {}
};
inline NamedException NotBMPImage() { return NamedException("NotBMPImage"); }
inline NamedException NotTargaImage() { return NamedException("NotTargaImage"); }
inline NamedException IoFailure() { return NamedException("Io"); }
// An input or output failure with the system's reason ("Is a directory").
inline NamedException IoFailure(std::string reason) { return NamedException("Io", std::move(reason)); }

// Printable name of any exception: ours by name(), the standard library's by the
// run-time kind it stands for.
std::string exceptionName(const std::exception& e);

namespace Excn {

// How raiseWithCause hands the composed text on.
enum class Setting {
    PrintAndRaiseError,    // write text + "\n" to the reporting stream, raise Error(text)
    PrintAndRaiseBug,      // write text + "\n", raise Bug without a message
    PrintAndRaiseBareError,// write text + "\n", raise Error without a message
};

// The reporting stream is standard error, so that progress lines on standard
// output stay free of error text. Tests may point it elsewhere.
std::ostream& reportingStream();
void setReportingStream(std::ostream* stream);  // nullptr restores standard error

// Rendering of one exception, used for the cause part of a composed text.
std::string toString(const std::exception& e);

// ctx composed with the cause e (see the three forms in the source).
std::string compose(const std::string& ctx, const std::exception& e);

[[noreturn]] void raiseWithCause(const std::string& ctx, const std::exception& e,
                                 Setting setting = Setting::PrintAndRaiseError);

// Writes ctx composed with e to the given stream, without a final newline, and
// raises Error with the text.
[[noreturn]] void raiseWithCauseTo(std::ostream& out, const std::string& ctx, const std::exception& e);

// Writes the rendering of an EGeneric exception to out.
void output(std::ostream& out, const std::exception& e);

}  // namespace Excn
}  // namespace morv
