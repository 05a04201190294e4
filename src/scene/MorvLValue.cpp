#include "scene/MorvLValue.hpp"

#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "base/Excn.hpp"

namespace morv {
namespace detail {

enum class NodeType : std::uint8_t { String, Color, Seq, Record, Sum, Table };

struct Node {
    explicit Node(NodeType t) : type(t) {}
    virtual ~Node() = default;
    std::uint32_t refs = 1;
    NodeType type;
};

struct StringNode : Node {
    explicit StringNode(std::string v) : Node(NodeType::String), s(std::move(v)) {}
    std::string s;
};

struct ColorNode : Node {
    explicit ColorNode(Color v) : Node(NodeType::Color), c(v) {}
    Color c;
};

struct SeqNode : Node {
    explicit SeqNode(std::vector<MorvLValue> v) : Node(NodeType::Seq), items(std::move(v)) {}
    std::vector<MorvLValue> items;
};

struct RecordNode : Node {
    RecordNode() : Node(NodeType::Record) {}
    std::vector<const std::string*> names;  // interned
    std::vector<MorvLValue> values;
};

struct SumNode : Node {
    SumNode(std::string n, MorvLValue a) : Node(NodeType::Sum), name(std::move(n)), arg(std::move(a)) {}
    std::string name;
    MorvLValue arg;
};

struct Column {
    enum class Storage : std::uint8_t { Unset, Values, Reals, Ints, Nested, Slices };
    Storage storage = Storage::Unset;
    Kind sequenceKind = Kind::LIST;
    std::vector<MorvLValue> values;
    std::vector<double> reals;
    std::vector<std::int32_t> ints;
    TableNode* child = nullptr;  // holds a reference
    std::vector<std::uint32_t> offsets;
    std::vector<bool> present;  // Reals, Slices: rows that have the field; empty when all have it

    bool hasField(std::size_t row) const {
        if (storage == Storage::Values) return values[row].kind() != Kind::ABSENT;
        return present.empty() || present[row];
    }
};

void releaseNode(Node* node) {
    if (--node->refs == 0) delete node;
}

struct TableNode : Node {
    TableNode() : Node(NodeType::Table) {}
    ~TableNode() override {
        for (auto& c : columns)
            if (c.child) releaseNode(c.child);
    }
    std::vector<const std::string*> names;
    std::size_t rows = 0;
    std::vector<Column> columns;
};

const std::string* intern(std::string_view name) {
    static std::unordered_set<std::string> names;
    return &*names.emplace(name).first;
}

// The one place that reads and writes a value's representation.
struct ValueAccess {
    using Rep = MorvLValue::Rep;

    static MorvLValue fromNode(Kind kind, Node* node) {  // takes over the node's reference
        MorvLValue v;
        v.kind_ = kind;
        v.rep_ = Rep::Node;
        v.node_ = node;
        return v;
    }
    static MorvLValue tableValue(Kind kind, Rep rep, TableNode* table, std::size_t column, std::size_t row) {
        MorvLValue v;
        v.kind_ = kind;
        v.rep_ = rep;
        v.column_ = static_cast<std::uint16_t>(column);
        v.row_ = static_cast<std::uint32_t>(row);
        v.node_ = table;
        ++table->refs;
        return v;
    }
    static MorvLValue rowView(TableNode* table, std::size_t row) {
        return tableValue(Kind::RECORD, Rep::TableRow, table, 0, row);
    }
    static MorvLValue cell(const TableNode* table, std::size_t column, std::size_t row) {
        const Column& c = table->columns[column];
        switch (c.storage) {
            case Column::Storage::Values: return c.values[row];
            case Column::Storage::Reals:
                if (!c.hasField(row)) return MorvLValue::Absent();
                return MorvLValue::Real(c.reals[row]);
            case Column::Storage::Ints: return MorvLValue::Int(c.ints[row]);
            case Column::Storage::Nested: return rowView(c.child, row);
            case Column::Storage::Slices:
                if (!c.hasField(row)) return MorvLValue::Absent();
                return tableValue(c.sequenceKind, Rep::TableSlice, const_cast<TableNode*>(table), column, row);
            case Column::Storage::Unset: break;
        }
        return MorvLValue::Absent();
    }
    static Rep rep(const MorvLValue& v) { return v.rep_; }
    static Node* node(const MorvLValue& v) { return v.node_; }
    static TableNode* table(const MorvLValue& v) { return static_cast<TableNode*>(v.node_); }
    static std::size_t row(const MorvLValue& v) { return v.row_; }
    static std::size_t column(const MorvLValue& v) { return v.column_; }
    static void setKind(MorvLValue& v, Kind k) { v.kind_ = k; }
};

}  // namespace detail

using detail::Column;
using detail::Node;
using detail::NodeType;
using detail::RecordNode;
using detail::SeqNode;
using detail::StringNode;
using detail::TableNode;
using detail::ValueAccess;
using Rep = ValueAccess::Rep;

namespace {
[[noreturn]] void kindBug(const char* what) {
    throw Bug(std::string("Internal error: scene value is not ") + what + "\n");
}
}  // namespace

// ---- Lifetime ----

void MorvLValue::retain() const {
    if (rep_ != Rep::Inline) ++node_->refs;
}

void MorvLValue::release() {
    if (rep_ != Rep::Inline) detail::releaseNode(node_);
    rep_ = Rep::Inline;
    kind_ = Kind::INT;
    i_ = 0;
}

MorvLValue::MorvLValue(const MorvLValue& o) : kind_(o.kind_), rep_(o.rep_), column_(o.column_), row_(o.row_) {
    std::memcpy(&r_, &o.r_, sizeof r_);  // whichever payload is active, the node pointer included
    retain();
}

MorvLValue::MorvLValue(MorvLValue&& o) noexcept
    : kind_(o.kind_), rep_(o.rep_), column_(o.column_), row_(o.row_) {
    std::memcpy(&r_, &o.r_, sizeof r_);
    o.rep_ = Rep::Inline;
    o.kind_ = Kind::INT;
    o.i_ = 0;
}

MorvLValue& MorvLValue::operator=(const MorvLValue& o) {
    if (this != &o) {
        o.retain();
        release();
        kind_ = o.kind_;
        rep_ = o.rep_;
        column_ = o.column_;
        row_ = o.row_;
        std::memcpy(&r_, &o.r_, sizeof r_);
    }
    return *this;
}

MorvLValue& MorvLValue::operator=(MorvLValue&& o) noexcept {
    if (this != &o) {
        release();
        kind_ = o.kind_;
        rep_ = o.rep_;
        column_ = o.column_;
        row_ = o.row_;
        std::memcpy(&r_, &o.r_, sizeof r_);
        o.rep_ = Rep::Inline;
        o.kind_ = Kind::INT;
        o.i_ = 0;
    }
    return *this;
}

MorvLValue::~MorvLValue() {
    if (rep_ != Rep::Inline) detail::releaseNode(node_);
}

// ---- Construction ----

MorvLValue MorvLValue::Int(std::int32_t v) {
    MorvLValue x;
    x.kind_ = Kind::INT;
    x.i_ = v;
    return x;
}
MorvLValue MorvLValue::Real(double v) {
    MorvLValue x;
    x.kind_ = Kind::REAL;
    x.r_ = v;
    return x;
}
MorvLValue MorvLValue::Bool(bool v) {
    MorvLValue x;
    x.kind_ = Kind::BOOL;
    x.i_ = v ? 1 : 0;
    return x;
}
MorvLValue MorvLValue::Absent() {
    MorvLValue x;
    x.kind_ = Kind::ABSENT;
    return x;
}
MorvLValue MorvLValue::String(std::string v) {
    return ValueAccess::fromNode(Kind::STRING, new StringNode(std::move(v)));
}
MorvLValue MorvLValue::Colour(Color c) { return ValueAccess::fromNode(Kind::COLOR, new detail::ColorNode(c)); }
MorvLValue MorvLValue::List(std::vector<MorvLValue> items) {
    return ValueAccess::fromNode(Kind::LIST, new SeqNode(std::move(items)));
}
MorvLValue MorvLValue::Array(std::vector<MorvLValue> items) {
    return ValueAccess::fromNode(Kind::ARRAY, new SeqNode(std::move(items)));
}
MorvLValue MorvLValue::Sum(std::string constructor, MorvLValue argument) {
    return ValueAccess::fromNode(Kind::SUMVALUE, new detail::SumNode(std::move(constructor), std::move(argument)));
}

namespace {
MorvLValue makeRecord(Kind kind, std::vector<Field> fields) {
    auto* node = new RecordNode();
    node->names.reserve(fields.size());
    node->values.reserve(fields.size());
    for (auto& f : fields) {
        node->names.push_back(detail::intern(f.name));
        node->values.push_back(std::move(f.value));
    }
    return ValueAccess::fromNode(kind, node);
}
}  // namespace

MorvLValue MorvLValue::Record(std::vector<Field> fields) { return makeRecord(Kind::RECORD, std::move(fields)); }
MorvLValue MorvLValue::BuildingRecord() { return makeRecord(Kind::BUILDINGRECORD, {}); }
MorvLValue MorvLValue::BuildingRecord(std::vector<Field> fields) {
    return makeRecord(Kind::BUILDINGRECORD, std::move(fields));
}

// ---- Payloads ----

std::int32_t MorvLValue::asInt() const {
    if (kind_ != Kind::INT) kindBug("an INT");
    return i_;
}
double MorvLValue::asReal() const {
    if (kind_ != Kind::REAL) kindBug("a REAL");
    return r_;
}
bool MorvLValue::asBool() const {
    if (kind_ != Kind::BOOL) kindBug("a BOOL");
    return i_ != 0;
}
const std::string& MorvLValue::asString() const {
    if (kind_ != Kind::STRING) kindBug("a STRING");
    return static_cast<const StringNode*>(node_)->s;
}
Color MorvLValue::asColor() const {
    if (kind_ != Kind::COLOR) kindBug("a COLOR");
    return static_cast<const detail::ColorNode*>(node_)->c;
}

std::size_t MorvLValue::size() const {
    if (!isSequence()) kindBug("a LIST or ARRAY");
    switch (rep_) {
        case Rep::Node: return static_cast<const SeqNode*>(node_)->items.size();
        case Rep::TableList: return static_cast<const TableNode*>(node_)->rows;
        case Rep::TableSlice: {
            const auto& offsets = static_cast<const TableNode*>(node_)->columns[column_].offsets;
            return offsets[row_ + 1] - offsets[row_];
        }
        default: kindBug("a LIST or ARRAY");
    }
}

MorvLValue MorvLValue::at(std::size_t i) const {
    if (i >= size()) throw std::out_of_range("scene list index");
    switch (rep_) {
        case Rep::Node: return static_cast<const SeqNode*>(node_)->items[i];
        case Rep::TableList: return ValueAccess::rowView(static_cast<TableNode*>(node_), i);
        case Rep::TableSlice: {
            const Column& c = static_cast<const TableNode*>(node_)->columns[column_];
            return ValueAccess::rowView(c.child, c.offsets[row_] + i);
        }
        default: kindBug("a LIST or ARRAY");
    }
}

std::vector<MorvLValue> MorvLValue::items() const {
    if (rep_ == Rep::Node && isSequence()) return static_cast<const SeqNode*>(node_)->items;
    std::vector<MorvLValue> out;
    const std::size_t n = size();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(at(i));
    return out;
}

Fields MorvLValue::fields() const {
    if (!isRecord()) kindBug("a RECORD");
    return Fields(*this);
}

const std::string& MorvLValue::constructorName() const {
    if (kind_ != Kind::SUMVALUE) kindBug("a SUMVALUE");
    return static_cast<const detail::SumNode*>(node_)->name;
}
const MorvLValue& MorvLValue::argument() const {
    if (kind_ != Kind::SUMVALUE) kindBug("a SUMVALUE");
    return static_cast<const detail::SumNode*>(node_)->arg;
}

namespace {
MorvLValue withRecordKind(const MorvLValue& record, Kind kind) {
    if (!record.isRecord()) kindBug("a RECORD");
    if (record.kind() == kind) return record;
    if (ValueAccess::rep(record) == Rep::Node) {  // shares the field block
        MorvLValue copy = record;
        ValueAccess::setKind(copy, kind);
        return copy;
    }
    return makeRecord(kind, record.fields().toVector());
}
}  // namespace

MorvLValue MorvLValue::asFinished() const { return withRecordKind(*this, Kind::RECORD); }
MorvLValue MorvLValue::asBuilding() const { return withRecordKind(*this, Kind::BUILDINGRECORD); }

bool operator==(const MorvLValue& a, const MorvLValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::INT: return a.asInt() == b.asInt();
        case Kind::REAL: return a.asReal() == b.asReal();
        case Kind::BOOL: return a.asBool() == b.asBool();
        case Kind::STRING: return a.asString() == b.asString();
        case Kind::COLOR: return a.asColor() == b.asColor();
        case Kind::ABSENT: return true;
        case Kind::SUMVALUE: return a.constructorName() == b.constructorName() && a.argument() == b.argument();
        case Kind::LIST:
        case Kind::ARRAY: {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (!(a.at(i) == b.at(i))) return false;
            return true;
        }
        case Kind::RECORD:
        case Kind::BUILDINGRECORD: {
            const Fields fa = a.fields(), fb = b.fields();
            if (fa.size() != fb.size()) return false;
            for (std::size_t i = 0; i < fa.size(); ++i)
                if (fa.name(i) != fb.name(i) || !(fa.value(i) == fb.value(i))) return false;
            return true;
        }
    }
    return false;
}

// ---- Fields ----

Fields::Fields(MorvLValue record) : record_(std::move(record)) {
    if (!record_.isRecord()) kindBug("a RECORD");
}

namespace {
// Index of the i-th present column of a table row.
std::size_t presentColumn(const TableNode* t, std::size_t row, std::size_t i) {
    for (std::size_t c = 0; c < t->columns.size(); ++c) {
        const Column& col = t->columns[c];
        if (col.hasField(row) && i-- == 0) return c;
    }
    throw std::out_of_range("record field index");
}
}  // namespace

std::size_t Fields::size() const {
    if (ValueAccess::rep(record_) == Rep::Node)
        return static_cast<const RecordNode*>(ValueAccess::node(record_))->names.size();
    const TableNode* t = ValueAccess::table(record_);
    const std::size_t row = ValueAccess::row(record_);
    std::size_t n = 0;
    for (const Column& col : t->columns)
        if (col.hasField(row)) ++n;
    return n;
}

std::string_view Fields::name(std::size_t i) const {
    if (ValueAccess::rep(record_) == Rep::Node)
        return *static_cast<const RecordNode*>(ValueAccess::node(record_))->names.at(i);
    const TableNode* t = ValueAccess::table(record_);
    return *t->names[presentColumn(t, ValueAccess::row(record_), i)];
}

MorvLValue Fields::value(std::size_t i) const {
    if (ValueAccess::rep(record_) == Rep::Node)
        return static_cast<const RecordNode*>(ValueAccess::node(record_))->values.at(i);
    const TableNode* t = ValueAccess::table(record_);
    const std::size_t row = ValueAccess::row(record_);
    return ValueAccess::cell(t, presentColumn(t, row, i), row);
}

std::optional<MorvLValue> Fields::find(std::string_view wanted) const {
    if (ValueAccess::rep(record_) == Rep::Node) {
        const auto* r = static_cast<const RecordNode*>(ValueAccess::node(record_));
        for (std::size_t i = 0; i < r->names.size(); ++i)
            if (*r->names[i] == wanted) return r->values[i];
        return std::nullopt;
    }
    const TableNode* t = ValueAccess::table(record_);
    const std::size_t row = ValueAccess::row(record_);
    for (std::size_t c = 0; c < t->names.size(); ++c) {
        if (*t->names[c] != wanted) continue;
        MorvLValue v = ValueAccess::cell(t, c, row);
        if (v.kind() != Kind::ABSENT) return v;
    }
    return std::nullopt;
}

std::vector<Field> Fields::toVector() const {
    std::vector<Field> out;
    const std::size_t n = size();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back({std::string(name(i)), value(i)});
    return out;
}

// ---- Packed records ----

PackedRecords::PackedRecords(std::vector<std::string> fieldNames, std::size_t rows) : table_(new TableNode()) {
    if (rows > UINT32_MAX) throw Bug("Internal error: too many rows for a packed scene list\n");
    for (const auto& n : fieldNames) table_->names.push_back(detail::intern(n));
    table_->columns.resize(fieldNames.size());
    table_->rows = rows;
}
PackedRecords::PackedRecords(PackedRecords&& o) noexcept : table_(o.table_) { o.table_ = nullptr; }
PackedRecords& PackedRecords::operator=(PackedRecords&& o) noexcept {
    if (this != &o) {
        if (table_) detail::releaseNode(table_);
        table_ = o.table_;
        o.table_ = nullptr;
    }
    return *this;
}
PackedRecords::~PackedRecords() {
    if (table_) detail::releaseNode(table_);
}
std::size_t PackedRecords::rows() const { return table_->rows; }

namespace {
Column& checkedColumn(TableNode* t, std::size_t column, std::size_t count) {
    if (column >= t->columns.size() || count != t->rows)
        throw Bug("Internal error: packed scene column does not fit its table\n");
    return t->columns[column];
}
}  // namespace

void PackedRecords::setReals(std::size_t column, std::vector<double> values, std::vector<bool> present) {
    Column& c = checkedColumn(table_, column, values.size());
    if (!present.empty() && present.size() != values.size())
        throw Bug("Internal error: packed scene column does not fit its table\n");
    c.storage = Column::Storage::Reals;
    c.reals = std::move(values);
    c.present = std::move(present);
}
void PackedRecords::setInts(std::size_t column, std::vector<std::int32_t> values) {
    Column& c = checkedColumn(table_, column, values.size());
    c.storage = Column::Storage::Ints;
    c.ints = std::move(values);
}
void PackedRecords::setValues(std::size_t column, std::vector<MorvLValue> values) {
    Column& c = checkedColumn(table_, column, values.size());
    c.storage = Column::Storage::Values;
    c.values = std::move(values);
}
void PackedRecords::setNested(std::size_t column, PackedRecords child) {
    Column& c = checkedColumn(table_, column, child.rows());
    c.storage = Column::Storage::Nested;
    c.child = child.table_;
    child.table_ = nullptr;
}
void PackedRecords::setSlices(std::size_t column, PackedRecords child, std::vector<std::uint32_t> offsets,
                              Kind sequenceKind, std::vector<bool> present) {
    Column& c = checkedColumn(table_, column, offsets.empty() ? 0 : offsets.size() - 1);
    if (offsets.empty() || offsets.back() != child.rows() || offsets.front() != 0 ||
        (!present.empty() && present.size() != table_->rows))
        throw Bug("Internal error: packed scene slices do not fit their table\n");
    c.present = std::move(present);
    c.storage = Column::Storage::Slices;
    c.sequenceKind = sequenceKind;
    c.child = child.table_;
    child.table_ = nullptr;
    c.offsets = std::move(offsets);
}

MorvLValue PackedRecords::toList() && {
    for (const Column& c : table_->columns)
        if (c.storage == Column::Storage::Unset) throw Bug("Internal error: packed scene column left unset\n");
    MorvLValue v = ValueAccess::tableValue(Kind::LIST, Rep::TableList, table_, 0, 0);
    detail::releaseNode(table_);
    table_ = nullptr;
    return v;
}

// ---- Packed views ----

std::optional<PackedView> PackedView::of(const MorvLValue& list) {
    if (!list.isSequence() || ValueAccess::rep(list) != Rep::TableList) return std::nullopt;
    PackedView v(ValueAccess::table(list));
    v.keepAlive_ = list;
    return v;
}
std::size_t PackedView::rows() const { return table_->rows; }
std::optional<std::size_t> PackedView::column(std::string_view name) const {
    for (std::size_t c = 0; c < table_->names.size(); ++c)
        if (*table_->names[c] == name) return c;
    return std::nullopt;
}
std::span<const double> PackedView::reals(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Reals) return {};
    return c.reals;
}
const std::vector<bool>& PackedView::present(std::size_t column) const { return table_->columns.at(column).present; }
std::span<const std::int32_t> PackedView::ints(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Ints) return {};
    return c.ints;
}
std::optional<PackedView> PackedView::nested(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Nested) return std::nullopt;
    PackedView v(c.child);
    v.keepAlive_ = keepAlive_;
    return v;
}
std::span<const std::uint32_t> PackedView::offsets(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Slices) return {};
    return c.offsets;
}
std::optional<PackedView> PackedView::sliceChild(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Slices) return std::nullopt;
    PackedView v(c.child);
    v.keepAlive_ = keepAlive_;
    return v;
}
bool PackedView::hasValues(std::size_t column) const {
    return table_->columns.at(column).storage == Column::Storage::Values;
}
std::span<const MorvLValue> PackedView::values(std::size_t column) const {
    const Column& c = table_->columns.at(column);
    if (c.storage != Column::Storage::Values) return {};
    return c.values;
}

// ---- Accessors ----

namespace {
const char* matchName(Kind k) {
    switch (k) {
        case Kind::INT: return "int match error: ";
        case Kind::REAL: return "real match error: ";
        case Kind::STRING: return "string match error: ";
        case Kind::BOOL: return "bool match error: ";
        case Kind::COLOR: return "color match error: ";
        case Kind::LIST: return "list match error: ";
        case Kind::ARRAY: return "array match error: ";
        case Kind::RECORD:
        case Kind::BUILDINGRECORD: return "record match error: ";
        default: return "match error: ";
    }
}

[[noreturn]] void kindError(Kind expected, std::string_view function) {
    throw Error(std::string(matchName(expected)) + "function " + std::string(function));
}

// The field's value when present, checked to be of the expected kind.
std::optional<MorvLValue> lookup(const Fields& record, std::string_view name, Kind expected,
                                 std::string_view function) {
    auto v = record.find(name);
    if (v && v->kind() != expected) kindError(expected, function);
    return v;
}

MorvLValue forceLookup(const Fields& record, std::string_view name, Kind expected, std::string_view function) {
    auto v = lookup(record, name, expected, function);
    if (!v) throw Error("Could not find field " + std::string(name) + " in forceGetField");
    return *v;
}

[[noreturn]] void missingField(std::string_view name) {
    throw Error("Expected field " + std::string(name) + " not found in MorvL record!\n");
}
}  // namespace

std::optional<MorvLValue> findListField(const Fields& record, std::string_view name) {
    return lookup(record, name, Kind::LIST, "findListField");
}
std::optional<std::int32_t> findIntegerField(const Fields& record, std::string_view name) {
    auto v = lookup(record, name, Kind::INT, "findIntegerField");
    if (!v) return std::nullopt;
    return v->asInt();
}

MorvLValue getListField(const Fields& record, std::string_view name, MorvLValue dflt) {
    auto v = lookup(record, name, Kind::LIST, "getListField");
    return v ? *v : dflt;
}
MorvLValue getArrayField(const Fields& record, std::string_view name, MorvLValue dflt) {
    auto v = lookup(record, name, Kind::ARRAY, "getArrayField");
    return v ? *v : dflt;
}
std::string getStringField(const Fields& record, std::string_view name, std::string dflt) {
    auto v = lookup(record, name, Kind::STRING, "getStringField");
    return v ? v->asString() : dflt;
}
double getRealField(const Fields& record, std::string_view name, double dflt) {
    auto v = lookup(record, name, Kind::REAL, "getRealField");
    return v ? v->asReal() : dflt;
}
bool getBooleanField(const Fields& record, std::string_view name, bool dflt) {
    auto v = lookup(record, name, Kind::BOOL, "getBooleanField");
    return v ? v->asBool() : dflt;
}
Color getColorField(const Fields& record, std::string_view name, Color dflt) {
    auto v = lookup(record, name, Kind::COLOR, "getColorField");
    return v ? v->asColor() : dflt;
}

Fields getRecordField(const Fields& record, std::string_view name) {
    auto v = record.find(name);
    if (!v) missingField(name);
    if (!v->isRecord()) kindError(Kind::RECORD, "getRecordField");
    return v->fields();
}

std::int32_t forceGetIntegerField(const Fields& record, std::string_view name) {
    return forceLookup(record, name, Kind::INT, "forceGetIntegerField").asInt();
}
MorvLValue forceGetListField(const Fields& record, std::string_view name) {
    return forceLookup(record, name, Kind::LIST, "forceGetListField");
}
double forceGetRealField(const Fields& record, std::string_view name) {
    return forceLookup(record, name, Kind::REAL, "forceGetRealField").asReal();
}
MorvLValue forceGetArrayField(const Fields& record, std::string_view name) {
    return forceLookup(record, name, Kind::ARRAY, "forceGetArrayField");
}
std::string forceGetStringField(const Fields& record, std::string_view name) {
    return forceLookup(record, name, Kind::STRING, "forceGetStringField").asString();
}

MorvLValue requireField(const Fields& record, std::string_view name) {
    auto v = record.find(name);
    if (!v) missingField(name);
    return *v;
}

namespace {
// The record rebuilt with the first field of that name replaced by fn(old value).
template <class Fn>
Fields replaceField(const Fields& record, std::string_view name, Fn&& fn) {
    std::vector<Field> fields = record.toVector();
    for (auto& f : fields) {
        if (f.name == name) {
            f.value = fn(f.value);
            return makeRecord(record.record().kind(), std::move(fields)).fields();
        }
    }
    missingField(name);
}
}  // namespace

Fields updateIntegerField(const Fields& record, std::string_view name,
                          const std::function<std::int32_t(std::int32_t)>& fn) {
    return replaceField(record, name, [&](const MorvLValue& old) {
        if (old.kind() != Kind::INT) kindError(Kind::INT, "updateIntegerField");
        return MorvLValue::Int(fn(old.asInt()));
    });
}
Fields updateRecordField(const Fields& record, std::string_view name,
                         const std::function<Fields(const Fields&)>& fn) {
    return replaceField(record, name, [&](const MorvLValue& old) {
        if (!old.isRecord()) kindError(Kind::RECORD, "updateRecordField");
        return fn(old.fields()).record();
    });
}
Fields updateArrayField(const Fields& record, std::string_view name,
                        const std::function<MorvLValue(const MorvLValue&)>& fn) {
    return replaceField(record, name, [&](const MorvLValue& old) {
        if (old.kind() != Kind::ARRAY) kindError(Kind::ARRAY, "updateArrayField");
        return fn(old);
    });
}

Fields setField(const Fields& record, std::string_view name, MorvLValue value) {
    std::vector<Field> fields = record.toVector();
    bool replaced = false;
    for (auto& f : fields) {
        if (f.name == name) {
            f.value = std::move(value);
            replaced = true;
            break;
        }
    }
    if (!replaced) fields.push_back({std::string(name), std::move(value)});
    return makeRecord(record.record().kind(), std::move(fields)).fields();
}

// ---- Wrappers ----

void raiseRecordMatchError(std::string_view function) {
    throw Error("record match error: in function " + std::string(function));
}

MorvLValue wrapInRECORD(const MorvLValue& value, const std::function<Fields(const Fields&)>& fn) {
    if (value.kind() != Kind::RECORD) raiseRecordMatchError("wrapInRECORD");
    return fn(value.fields()).record().asFinished();
}
MorvLValue wrapInBUILDINGRECORD(const MorvLValue& value, const std::function<Fields(const Fields&)>& fn) {
    if (value.kind() != Kind::BUILDINGRECORD) raiseRecordMatchError("wrapInBUILDINGRECORD");
    return fn(value.fields()).record().asBuilding();
}

// ---- Points and texture coordinates ----

MorvLValue makePointRecord(double x, double y, double z) {
    return MorvLValue::Record({{"x", MorvLValue::Real(x)}, {"y", MorvLValue::Real(y)}, {"z", MorvLValue::Real(z)}});
}
MorvLValue makeSTRecord(double s, double t) {
    return MorvLValue::Record({{"s", MorvLValue::Real(s)}, {"t", MorvLValue::Real(t)}});
}

XYZ RecordToXYZ(const Fields& record) {
    auto x = record.find("x"), y = record.find("y"), z = record.find("z");
    if (!x || !y || !z || x->kind() != Kind::REAL || y->kind() != Kind::REAL || z->kind() != Kind::REAL)
        throw Error("Internal error: Record does not contain expected XYZ data in function RecordToXYZ!\n");
    return {x->asReal(), y->asReal(), z->asReal()};
}

ST RecordToST(const Fields& record) {
    auto s = record.find("s"), t = record.find("t");
    if (!s || !t || s->kind() != Kind::REAL || t->kind() != Kind::REAL)
        throw Error("Internal error: Record does not contain expected ST data in function RecordToST!\n");
    return {s->asReal(), t->asReal()};
}

}  // namespace morv
