#include "base/Excn.hpp"

#include <iostream>
#include <new>
#include <stdexcept>

namespace morv {

MorvException::MorvException(std::string name, std::optional<std::string> message)
    : name_(std::move(name)), message_(std::move(message)) {}

const std::string& MorvException::message() const {
    static const std::string empty;
    return message_ ? *message_ : empty;
}

const char* MorvException::what() const noexcept {
    return message_ ? message_->c_str() : name_.c_str();
}

std::string exceptionName(const std::exception& e) {
    if (auto* m = dynamic_cast<const MorvException*>(&e)) return m->name();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "Size";
    if (dynamic_cast<const std::length_error*>(&e)) return "Size";
    if (dynamic_cast<const std::out_of_range*>(&e)) return "Subscript";
    if (dynamic_cast<const std::overflow_error*>(&e)) return "Overflow";
    if (dynamic_cast<const std::domain_error*>(&e)) return "Domain";
    if (dynamic_cast<const std::range_error*>(&e)) return "Range";
    if (dynamic_cast<const std::ios_base::failure*>(&e)) return "Io";
    return "Fail";
}

namespace Excn {
namespace {
std::ostream* reportTo = nullptr;
}

std::ostream& reportingStream() { return reportTo ? *reportTo : std::cerr; }
void setReportingStream(std::ostream* stream) { reportTo = stream; }

std::string toString(const std::exception& e) {
    if (auto* g = dynamic_cast<const EGeneric*>(&e)) {
        if (g->bug) return "Software bug: " + g->message();
        return "Generic exception of type " + g->type + " raised: " + g->message();
    }
    // A format error is the input's fault, not the program's: say what it is.
    if (dynamic_cast<const SyntaxError*>(&e) || dynamic_cast<const BrushSyntaxError*>(&e))
        return "Syntax error: " + static_cast<const MorvException&>(e).message();
    const std::string name = exceptionName(e);
    return "Software bug: Unanticipated exception of type: " + name +
           " raised with the following message: " + name;
}

std::string compose(const std::string& ctx, const std::exception& e) {
    auto* m = dynamic_cast<const MorvException*>(&e);
    if (m && dynamic_cast<const Error*>(m) && m->hasMessage())
        return ctx + "\nThe error which caused this:\n" + m->message();
    if (m && dynamic_cast<const Bug*>(m) && m->hasMessage())
        return ctx + "\nThe bug which caused this:\n" + m->message();
    return ctx + "\nThe exception which caused this:\n" + toString(e);
}

void raiseWithCause(const std::string& ctx, const std::exception& e, Setting setting) {
    const std::string text = compose(ctx, e);
    reportingStream() << text << '\n';
    reportingStream().flush();
    switch (setting) {
        case Setting::PrintAndRaiseBug: throw Bug();
        case Setting::PrintAndRaiseBareError: throw Error();
        case Setting::PrintAndRaiseError: break;
    }
    throw Error(text);
}

void raiseWithCauseTo(std::ostream& out, const std::string& ctx, const std::exception& e) {
    const std::string text = compose(ctx, e);
    out << text;
    throw Error(text);
}

void output(std::ostream& out, const std::exception& e) {
    if (dynamic_cast<const EGeneric*>(&e))
        out << toString(e);
    else
        out << "Software bug: Excn.output used with an exception which is not of type EGeneric!";
}

}  // namespace Excn
}  // namespace morv
