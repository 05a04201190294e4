// The scene value tree: one tagged value type in which importers store a scene
// and from which exporters read it, records with named fields, and the field
// accessor families with their failure messages.
//
// A value is 16 bytes. Atomic payloads sit inline; strings, colours, lists,
// records and sum values live in reference-counted nodes that trees share
// freely (single-threaded, so the counts are plain integers). Field names are
// interned. Large lists of records of one shape (the vertices and faces of a
// mesh) are stored packed, column by column, and hand out ordinary RECORD
// values that view one row.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morv {

enum class Kind : std::uint8_t {
    INT, REAL, STRING, BOOL, COLOR, LIST, ARRAY, RECORD, BUILDINGRECORD, SUMVALUE,
    ABSENT  // only inside packed storage: the row lacks this field
};

// Colour channels are reals in 0..1 throughout the system.
struct Color {
    double r = 0, g = 0, b = 0;
    friend bool operator==(const Color&, const Color&) = default;
};

namespace detail {
struct Node;
struct TableNode;
struct ValueAccess;
}  // namespace detail

class Fields;
struct Field;

class MorvLValue {
public:
    MorvLValue() = default;  // INT 0
    MorvLValue(const MorvLValue& other);
    MorvLValue(MorvLValue&& other) noexcept;
    MorvLValue& operator=(const MorvLValue& other);
    MorvLValue& operator=(MorvLValue&& other) noexcept;
    ~MorvLValue();

    static MorvLValue Int(std::int32_t v);
    static MorvLValue Real(double v);
    static MorvLValue String(std::string v);
    static MorvLValue Bool(bool v);
    static MorvLValue Colour(Color c);
    static MorvLValue List(std::vector<MorvLValue> items);
    static MorvLValue Array(std::vector<MorvLValue> items);
    static MorvLValue Record(std::vector<Field> fields);
    static MorvLValue BuildingRecord();
    static MorvLValue BuildingRecord(std::vector<Field> fields);
    static MorvLValue Sum(std::string constructor, MorvLValue argument);
    static MorvLValue Absent();

    Kind kind() const { return kind_; }
    bool isRecord() const { return kind_ == Kind::RECORD || kind_ == Kind::BUILDINGRECORD; }
    bool isSequence() const { return kind_ == Kind::LIST || kind_ == Kind::ARRAY; }

    // Payloads; each requires the matching kind (checked: a wrong kind raises Bug).
    std::int32_t asInt() const;
    double asReal() const;
    bool asBool() const;
    const std::string& asString() const;
    Color asColor() const;

    // LIST and ARRAY: length and elements (packed lists hand out row views).
    std::size_t size() const;
    MorvLValue at(std::size_t i) const;
    std::vector<MorvLValue> items() const;

    // RECORD and BUILDINGRECORD: the field sequence.
    Fields fields() const;

    // SUMVALUE
    const std::string& constructorName() const;
    const MorvLValue& argument() const;

    // Same record fields with the other record kind (RECORD <-> BUILDINGRECORD).
    MorvLValue asFinished() const;
    MorvLValue asBuilding() const;

    // Structural equality (kinds, payloads, field names and order).
    friend bool operator==(const MorvLValue& a, const MorvLValue& b);

private:
    friend struct detail::ValueAccess;
    enum class Rep : std::uint8_t { Inline, Node, TableRow, TableList, TableSlice };

    void release();
    void retain() const;

    Kind kind_ = Kind::INT;
    Rep rep_ = Rep::Inline;
    std::uint16_t column_ = 0;  // TableSlice: the slice column of the parent table
    std::uint32_t row_ = 0;     // TableRow / TableSlice: the row
    union {
        std::int32_t i_;
        double r_;
        bool b_;
        detail::Node* node_;
    };
};
static_assert(sizeof(MorvLValue) == 16, "scene values stay small");

struct Field {
    std::string name;
    MorvLValue value;
};

// The field sequence of a RECORD or BUILDINGRECORD value: ordered, first match wins.
class Fields {
public:
    explicit Fields(MorvLValue record);
    std::size_t size() const;  // number of fields
    std::string_view name(std::size_t i) const;
    MorvLValue value(std::size_t i) const;
    std::optional<MorvLValue> find(std::string_view name) const;
    std::vector<Field> toVector() const;
    const MorvLValue& record() const { return record_; }

private:
    MorvLValue record_;
};

// Column-wise storage for a list of records that share their field names.
// Every column must be set, each with `rows` entries, before toList().
class PackedRecords {
public:
    PackedRecords(std::vector<std::string> fieldNames, std::size_t rows);
    PackedRecords(PackedRecords&&) noexcept;
    PackedRecords& operator=(PackedRecords&&) noexcept;
    ~PackedRecords();
    std::size_t rows() const;

    // Reals; when present is given, the rows it marks false lack the field.
    void setReals(std::size_t column, std::vector<double> values, std::vector<bool> present = {});
    void setInts(std::size_t column, std::vector<std::int32_t> values);
    // Any values; MorvLValue::Absent() leaves the field out of that row.
    void setValues(std::size_t column, std::vector<MorvLValue> values);
    // Row i's field is row i of child (same row count).
    void setNested(std::size_t column, PackedRecords child);
    // Row i's field is a LIST (or ARRAY) of child rows offsets[i] .. offsets[i+1]-1.
    // offsets has rows+1 ascending entries, the last one child.rows(). When
    // present is given, the rows it marks false lack the field.
    void setSlices(std::size_t column, PackedRecords child, std::vector<std::uint32_t> offsets,
                   Kind sequenceKind = Kind::LIST, std::vector<bool> present = {});

    MorvLValue toList() &&;

private:
    detail::TableNode* table_;
};

// Read-only look into a packed list, for hot loops over big meshes. Each
// accessor gives an empty span when the column is not stored that way.
class PackedView {
public:
    // The view of a LIST made by PackedRecords::toList; nullopt for other lists.
    static std::optional<PackedView> of(const MorvLValue& list);
    std::size_t rows() const;
    std::optional<std::size_t> column(std::string_view name) const;
    std::span<const double> reals(std::size_t column) const;
    // Rows of a reals or slice column that have the field; empty when all have it.
    const std::vector<bool>& present(std::size_t column) const;
    std::span<const std::int32_t> ints(std::size_t column) const;
    std::optional<PackedView> nested(std::size_t column) const;
    // Row i of the slice column covers child rows offsets[i] .. offsets[i+1]-1.
    std::span<const std::uint32_t> offsets(std::size_t column) const;
    std::optional<PackedView> sliceChild(std::size_t column) const;
    // True when the column keeps generic values (optional fields, mixed kinds).
    bool hasValues(std::size_t column) const;
    // Those values (ABSENT where a row lacks the field).
    std::span<const MorvLValue> values(std::size_t column) const;

private:
    explicit PackedView(const detail::TableNode* table) : table_(table) {}
    const detail::TableNode* table_;
    MorvLValue keepAlive_;
};

// ---- Accessor families. Each takes a record's fields and a field name. ----

std::optional<MorvLValue> findListField(const Fields& record, std::string_view name);
std::optional<std::int32_t> findIntegerField(const Fields& record, std::string_view name);

MorvLValue getListField(const Fields& record, std::string_view name, MorvLValue dflt);
MorvLValue getArrayField(const Fields& record, std::string_view name, MorvLValue dflt);
std::string getStringField(const Fields& record, std::string_view name, std::string dflt);
double getRealField(const Fields& record, std::string_view name, double dflt);
bool getBooleanField(const Fields& record, std::string_view name, bool dflt);
Color getColorField(const Fields& record, std::string_view name, Color dflt);

// The field's record; a missing field fails with the "Expected field" message.
Fields getRecordField(const Fields& record, std::string_view name);

std::int32_t forceGetIntegerField(const Fields& record, std::string_view name);
MorvLValue forceGetListField(const Fields& record, std::string_view name);
double forceGetRealField(const Fields& record, std::string_view name);
MorvLValue forceGetArrayField(const Fields& record, std::string_view name);
std::string forceGetStringField(const Fields& record, std::string_view name);

// Any field, any kind; a missing field fails with
// "Expected field " + name + " not found in MorvL record!\n".
MorvLValue requireField(const Fields& record, std::string_view name);

// The update family returns a record of the same kind with that field's payload
// replaced by fn(old payload); field order is unchanged. A field that is absent
// is an error ("Expected field ... not found in MorvL record!\n"): every caller
// updates only fields its own stage created, so absence means a broken scene.
Fields updateIntegerField(const Fields& record, std::string_view name,
                          const std::function<std::int32_t(std::int32_t)>& fn);
Fields updateRecordField(const Fields& record, std::string_view name,
                         const std::function<Fields(const Fields&)>& fn);
Fields updateArrayField(const Fields& record, std::string_view name,
                        const std::function<MorvLValue(const MorvLValue&)>& fn);
// Replaces (or, when absent, appends) a field of any kind; used by builders.
Fields setField(const Fields& record, std::string_view name, MorvLValue value);

// ---- Wrappers that lift a function on records to a function on values. ----
// wrapRECORD/wrapBUILDINGRECORD hand back the function's result unchanged;
// wrapInRECORD/wrapInBUILDINGRECORD wrap the resulting fields again as a value
// of the same record kind.
template <class F>
auto wrapRECORD(const MorvLValue& value, F&& fn);
template <class F>
auto wrapBUILDINGRECORD(const MorvLValue& value, F&& fn);
MorvLValue wrapInRECORD(const MorvLValue& value, const std::function<Fields(const Fields&)>& fn);
MorvLValue wrapInBUILDINGRECORD(const MorvLValue& value, const std::function<Fields(const Fields&)>& fn);

[[noreturn]] void raiseRecordMatchError(std::string_view function);

template <class F>
auto wrapRECORD(const MorvLValue& value, F&& fn) {
    if (value.kind() != Kind::RECORD) raiseRecordMatchError("wrapRECORD");
    return fn(value.fields());
}
template <class F>
auto wrapBUILDINGRECORD(const MorvLValue& value, F&& fn) {
    if (value.kind() != Kind::BUILDINGRECORD) raiseRecordMatchError("wrapBUILDINGRECORD");
    return fn(value.fields());
}

// ---- Point and texture-coordinate records. ----
struct XYZ {
    double x = 0, y = 0, z = 0;
    friend bool operator==(const XYZ&, const XYZ&) = default;
};
struct ST {
    double s = 0, t = 0;
};
MorvLValue makePointRecord(double x, double y, double z);
MorvLValue makeSTRecord(double s, double t);
XYZ RecordToXYZ(const Fields& record);
ST RecordToST(const Fields& record);

}  // namespace morv
