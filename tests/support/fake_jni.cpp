#include "fake_jni.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

// Pinned elements are followed by a guard that must survive until the
// release, then by a zero unit that a string's characters do not promise.
constexpr size_t kGuardSize = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr size_t kTerminatorSize = 2;

// What JNI allows while an exception is pending.
const std::set<std::string> kAllowedWhilePending = {
    "ExceptionOccurred",  "ExceptionDescribe",       "ExceptionClear",           "ExceptionCheck",
    "ReleaseStringChars", "ReleaseIntArrayElements", "ReleaseByteArrayElements", "DeleteLocalRef"};

std::string regionText(jsize start, jsize length, size_t size) {
    return "Array region " + std::to_string(start) + ".." + std::to_string(int64_t(start) + length) +
           " out of bounds for length " + std::to_string(size);
}

}  // namespace

struct FakeJni::Object {
    explicit Object(Kind k) : kind(k) {}

    Kind kind;
    std::u16string text;
    std::vector<jint> ints;
    std::vector<jbyte> bytes;
    std::vector<jobject> elements;
    std::string name;  // a class's name, an object array's element class, a thrown class
    std::string message;

    bool isArray() const {
        return kind == Kind::IntArray || kind == Kind::ByteArray || kind == Kind::ObjectArray;
    }
    size_t length() const {
        switch (kind) {
            case Kind::IntArray: return ints.size();
            case Kind::ByteArray: return bytes.size();
            case Kind::ObjectArray: return elements.size();
            case Kind::String: return text.size();
            default: return 0;
        }
    }
    void* data() {
        if (kind == Kind::IntArray) return ints.data();
        if (kind == Kind::ByteArray) return bytes.data();
        return text.data();
    }
    size_t elementSize() const { return kind == Kind::IntArray ? sizeof(jint) : sizeof(jbyte); }
};

struct FakeJni::Pin {
    const Object* owner;
    std::vector<unsigned char> storage;  // elements, guard, zero terminator
    size_t size;
    bool released = false;

    bool guardIntact() const {
        return std::all_of(storage.begin() + size, storage.begin() + size + kGuardSize,
                           [](unsigned char b) { return b == kGuardByte; });
    }
};

FakeJni::FakeJni() { installFunctions(); }

FakeJni::~FakeJni() {
    if (int pins = outstandingPins())
        ADD_FAILURE() << pins << " pinned elements or strings were never released";
}

FakeJni& FakeJni::self(JNIEnv* env) { return *static_cast<FakeJni*>(env->functions->reserved0); }

void FakeJni::installFunctions() {
    JNINativeInterface_& f = functions_;
    f.reserved0 = this;
    f.GetStringLength = [](JNIEnv* e, jstring s) { return self(e).stringLength(s); };
    f.GetStringChars = [](JNIEnv* e, jstring s, jboolean* c) { return self(e).stringChars(s, c); };
    f.ReleaseStringChars = [](JNIEnv* e, jstring s, const jchar* c) { self(e).releaseStringChars(s, c); };
    f.GetArrayLength = [](JNIEnv* e, jarray a) { return self(e).arrayLength(a); };
    f.GetIntArrayElements = [](JNIEnv* e, jintArray a, jboolean* c) {
        return static_cast<jint*>(self(e).arrayElements("GetIntArrayElements", Kind::IntArray, a, c));
    };
    f.ReleaseIntArrayElements = [](JNIEnv* e, jintArray a, jint* p, jint mode) {
        self(e).releaseArrayElements("ReleaseIntArrayElements", Kind::IntArray, a, p, mode);
    };
    f.SetIntArrayRegion = [](JNIEnv* e, jintArray a, jsize start, jsize n, const jint* from) {
        self(e).setArrayRegion("SetIntArrayRegion", Kind::IntArray, a, start, n, from);
    };
    f.GetByteArrayElements = [](JNIEnv* e, jbyteArray a, jboolean* c) {
        return static_cast<jbyte*>(self(e).arrayElements("GetByteArrayElements", Kind::ByteArray, a, c));
    };
    f.ReleaseByteArrayElements = [](JNIEnv* e, jbyteArray a, jbyte* p, jint mode) {
        self(e).releaseArrayElements("ReleaseByteArrayElements", Kind::ByteArray, a, p, mode);
    };
    f.SetByteArrayRegion = [](JNIEnv* e, jbyteArray a, jsize start, jsize n, const jbyte* from) {
        self(e).setArrayRegion("SetByteArrayRegion", Kind::ByteArray, a, start, n, from);
    };
    f.NewString = [](JNIEnv* e, const jchar* u, jsize n) { return self(e).newString(u, n); };
    f.FindClass = [](JNIEnv* e, const char* name) { return self(e).findClass(name); };
    f.NewObjectArray = [](JNIEnv* e, jsize n, jclass c, jobject init) {
        return self(e).newObjectArray(n, c, init);
    };
    f.SetObjectArrayElement = [](JNIEnv* e, jobjectArray a, jsize i, jobject v) {
        self(e).setObjectArrayElement(a, i, v);
    };
    f.GetObjectArrayElement = [](JNIEnv* e, jobjectArray a, jsize i) {
        return self(e).objectArrayElement(a, i);
    };
    f.ThrowNew = [](JNIEnv* e, jclass c, const char* m) { return self(e).throwNew(c, m); };
    f.ExceptionOccurred = [](JNIEnv* e) { return self(e).exceptionOccurred(); };
    f.ExceptionDescribe = [](JNIEnv* e) { self(e).exceptionDescribe(); };
    f.ExceptionClear = [](JNIEnv* e) { self(e).exceptionClear(); };
    f.ExceptionCheck = [](JNIEnv* e) { return self(e).exceptionCheck(); };
    f.DeleteLocalRef = [](JNIEnv* e, jobject r) { self(e).deleteLocalRef(r); };
    env_.functions = &functions_;
}

// --- bookkeeping ---

void FakeJni::enter(const char* call) {
    ++calls_[call];
    if (pending_ && !kAllowedWhilePending.count(call)) callsWhilePending_.push_back(call);
}

bool FakeJni::refused(const char* call) {
    auto refusal = refusals_.find(call);
    if (refusal == refusals_.end() || refusal->second <= 0) return false;
    if (--refusal->second == 0) refusals_.erase(refusal);
    raise("java/lang/OutOfMemoryError", std::string(call) + " refused");
    return true;
}

void FakeJni::raise(const std::string& className, const std::string& message) {
    pending_ = Exception{className, message};
}

FakeJni::Object* FakeJni::make(Object object) {
    auto owned = std::make_unique<Object>(std::move(object));
    Object* made = owned.get();
    objects_.emplace(made, std::move(owned));
    return made;
}

FakeJni::Object* FakeJni::find(const void* ref) const {
    auto found = objects_.find(ref);
    return found == objects_.end() ? nullptr : found->second.get();
}

FakeJni::Object* FakeJni::expect(const void* ref, Kind kind, const char* call) const {
    Object* object = find(ref);
    if (!object) {
        ADD_FAILURE() << call << ": " << (ref ? "unknown reference" : "null reference");
        return nullptr;
    }
    if (object->kind != kind) {
        ADD_FAILURE() << call << ": reference of the wrong kind";
        return nullptr;
    }
    return object;
}

bool FakeJni::regionFits(const Object& array, jsize start, jsize length) {
    if (start >= 0 && length >= 0 && int64_t(start) + length <= int64_t(array.length())) return true;
    raise("java/lang/ArrayIndexOutOfBoundsException", regionText(start, length, array.length()));
    return false;
}

// The VM here always copies: the native works on its own buffer, and only a
// release with mode 0 or JNI_COMMIT carries its changes into the array.
void* FakeJni::pin(Object& owner, const void* data, size_t size) {
    auto pinned = std::make_unique<Pin>();
    pinned->owner = &owner;
    pinned->size = size;
    pinned->storage.assign(size + kGuardSize + kTerminatorSize, 0);
    if (size) std::memcpy(pinned->storage.data(), data, size);
    std::fill_n(pinned->storage.begin() + size, kGuardSize, kGuardByte);
    pins_.push_back(std::move(pinned));
    return pins_.back()->storage.data();
}

void FakeJni::unpin(const char* call, Object& owner, const void* data, jint mode) {
    auto found = std::find_if(pins_.begin(), pins_.end(),
                              [&](const auto& p) { return !p->released && p->storage.data() == data; });
    if (found == pins_.end()) {
        ADD_FAILURE() << call << ": elements not pinned, or released twice";
        return;
    }
    Pin& pinned = **found;
    if (pinned.owner != &owner) ADD_FAILURE() << call << ": elements released against another object";
    if (!pinned.guardIntact())
        ADD_FAILURE() << call << ": the native wrote past the end of the pinned elements";
    if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT)
        ADD_FAILURE() << call << ": unknown release mode " << mode;
    if ((mode == 0 || mode == JNI_COMMIT) && owner.kind != Kind::String && pinned.size)
        std::memcpy(owner.data(), pinned.storage.data(), pinned.size);
    if (mode != JNI_COMMIT) pinned.released = true;
    releases_.push_back({call, mode});
}

// --- the JNI functions ---

jsize FakeJni::stringLength(jstring string) {
    std::lock_guard lock(mutex_);
    enter("GetStringLength");
    Object* object = expect(string, Kind::String, "GetStringLength");
    return object ? jsize(object->text.size()) : 0;
}

const jchar* FakeJni::stringChars(jstring string, jboolean* isCopy) {
    std::lock_guard lock(mutex_);
    enter("GetStringChars");
    Object* object = expect(string, Kind::String, "GetStringChars");
    if (!object || refused("GetStringChars")) return nullptr;
    if (isCopy) *isCopy = JNI_TRUE;
    return static_cast<const jchar*>(
        pin(*object, object->text.data(), object->text.size() * sizeof(char16_t)));
}

void FakeJni::releaseStringChars(jstring string, const jchar* chars) {
    std::lock_guard lock(mutex_);
    enter("ReleaseStringChars");
    if (Object* object = expect(string, Kind::String, "ReleaseStringChars"))
        unpin("ReleaseStringChars", *object, chars, 0);
}

jsize FakeJni::arrayLength(jarray array) {
    std::lock_guard lock(mutex_);
    enter("GetArrayLength");
    Object* object = find(array);
    if (!object || !object->isArray()) {
        ADD_FAILURE() << "GetArrayLength: not an array";
        return 0;
    }
    return jsize(object->length());
}

void* FakeJni::arrayElements(const char* call, Kind kind, jarray array, jboolean* isCopy) {
    std::lock_guard lock(mutex_);
    enter(call);
    Object* object = expect(array, kind, call);
    if (!object || refused(call)) return nullptr;
    if (isCopy) *isCopy = JNI_TRUE;
    return pin(*object, object->data(), object->length() * object->elementSize());
}

void FakeJni::releaseArrayElements(const char* call, Kind kind, jarray array, void* elements, jint mode) {
    std::lock_guard lock(mutex_);
    enter(call);
    if (Object* object = expect(array, kind, call)) unpin(call, *object, elements, mode);
}

void FakeJni::setArrayRegion(const char* call, Kind kind, jarray array, jsize start, jsize length,
                             const void* source) {
    std::lock_guard lock(mutex_);
    enter(call);
    Object* object = expect(array, kind, call);
    if (!object || !regionFits(*object, start, length) || length == 0) return;
    if (!source) {
        ADD_FAILURE() << call << ": null source";
        return;
    }
    size_t width = object->elementSize();
    std::memcpy(static_cast<char*>(object->data()) + size_t(start) * width, source, size_t(length) * width);
}

jstring FakeJni::newString(const jchar* units, jsize length) {
    std::lock_guard lock(mutex_);
    enter("NewString");
    if (length < 0 || (length > 0 && !units)) {
        ADD_FAILURE() << "NewString: invalid characters or length " << length;
        return nullptr;
    }
    if (refused("NewString")) return nullptr;
    Object string(Kind::String);
    string.text.assign(reinterpret_cast<const char16_t*>(units), size_t(length));
    return reinterpret_cast<jstring>(make(std::move(string)));
}

jclass FakeJni::findClass(const char* name) {
    std::lock_guard lock(mutex_);
    enter("FindClass");
    if (refused("FindClass")) return nullptr;
    if (!knownClasses.count(name)) {
        raise("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    jclass& known = classes_[name];
    if (!known) {
        Object type(Kind::Class);
        type.name = name;
        known = reinterpret_cast<jclass>(make(std::move(type)));
    }
    return known;
}

jobjectArray FakeJni::newObjectArray(jsize length, jclass elementClass, jobject initial) {
    std::lock_guard lock(mutex_);
    enter("NewObjectArray");
    Object* type = expect(elementClass, Kind::Class, "NewObjectArray");
    if (!type || refused("NewObjectArray")) return nullptr;
    if (initial && !find(initial)) ADD_FAILURE() << "NewObjectArray: unknown initial element";
    if (length < 0) {
        raise("java/lang/NegativeArraySizeException", std::to_string(length));
        return nullptr;
    }
    Object array(Kind::ObjectArray);
    array.name = type->name;
    array.elements.assign(size_t(length), initial);
    return reinterpret_cast<jobjectArray>(make(std::move(array)));
}

void FakeJni::setObjectArrayElement(jobjectArray array, jsize index, jobject value) {
    std::lock_guard lock(mutex_);
    enter("SetObjectArrayElement");
    Object* object = expect(array, Kind::ObjectArray, "SetObjectArrayElement");
    if (!object || !regionFits(*object, index, 1)) return;
    Object* element = value ? find(value) : nullptr;
    if (value && !element) {
        ADD_FAILURE() << "SetObjectArrayElement: unknown value";
        return;
    }
    if (element && object->name == "java/lang/String" && element->kind != Kind::String) {
        raise("java/lang/ArrayStoreException", "not a java.lang.String");
        return;
    }
    object->elements[size_t(index)] = value;
}

jobject FakeJni::objectArrayElement(jobjectArray array, jsize index) {
    std::lock_guard lock(mutex_);
    enter("GetObjectArrayElement");
    Object* object = expect(array, Kind::ObjectArray, "GetObjectArrayElement");
    if (!object || !regionFits(*object, index, 1)) return nullptr;
    return object->elements[size_t(index)];
}

jint FakeJni::throwNew(jclass thrown, const char* message) {
    std::lock_guard lock(mutex_);
    enter("ThrowNew");
    Object* type = expect(thrown, Kind::Class, "ThrowNew");
    if (!type) return -1;
    raise(type->name, message ? message : "");
    return 0;
}

jthrowable FakeJni::exceptionOccurred() {
    std::lock_guard lock(mutex_);
    enter("ExceptionOccurred");
    if (!pending_) return nullptr;
    Object thrown(Kind::Throwable);
    thrown.name = pending_->className;
    thrown.message = pending_->message;
    return reinterpret_cast<jthrowable>(make(std::move(thrown)));
}

// Like the VM, describing the pending exception also clears it.
void FakeJni::exceptionDescribe() {
    std::lock_guard lock(mutex_);
    enter("ExceptionDescribe");
    if (pending_) described_.push_back(*pending_);
    pending_.reset();
}

void FakeJni::exceptionClear() {
    std::lock_guard lock(mutex_);
    enter("ExceptionClear");
    pending_.reset();
}

jboolean FakeJni::exceptionCheck() {
    std::lock_guard lock(mutex_);
    enter("ExceptionCheck");
    return pending_ ? JNI_TRUE : JNI_FALSE;
}

void FakeJni::deleteLocalRef(jobject ref) {
    std::lock_guard lock(mutex_);
    enter("DeleteLocalRef");
    if (ref && !find(ref)) ADD_FAILURE() << "DeleteLocalRef: unknown reference";
    deletedRefs_.push_back(ref);
}

// --- the test's side ---

jstring FakeJni::string(const std::u16string& text) {
    std::lock_guard lock(mutex_);
    Object string(Kind::String);
    string.text = text;
    return reinterpret_cast<jstring>(make(std::move(string)));
}

jintArray FakeJni::ints(std::vector<jint> values) {
    std::lock_guard lock(mutex_);
    Object array(Kind::IntArray);
    array.ints = std::move(values);
    return reinterpret_cast<jintArray>(make(std::move(array)));
}

jintArray FakeJni::ints(std::initializer_list<jint> values) { return ints(std::vector<jint>(values)); }

jbyteArray FakeJni::bytes(std::vector<jbyte> values) {
    std::lock_guard lock(mutex_);
    Object array(Kind::ByteArray);
    array.bytes = std::move(values);
    return reinterpret_cast<jbyteArray>(make(std::move(array)));
}

jbyteArray FakeJni::bytes(std::initializer_list<jbyte> values) { return bytes(std::vector<jbyte>(values)); }

jbyteArray FakeJni::bytes(const std::vector<uint8_t>& values) {
    return bytes(std::vector<jbyte>(values.begin(), values.end()));
}

std::u16string FakeJni::text(jobject string) const {
    std::lock_guard lock(mutex_);
    Object* object = expect(string, Kind::String, "FakeJni::text");
    return object ? object->text : std::u16string();
}

std::vector<jint> FakeJni::ints(jintArray array) const {
    std::lock_guard lock(mutex_);
    Object* object = expect(array, Kind::IntArray, "FakeJni::ints");
    return object ? object->ints : std::vector<jint>();
}

std::vector<jbyte> FakeJni::bytes(jbyteArray array) const {
    std::lock_guard lock(mutex_);
    Object* object = expect(array, Kind::ByteArray, "FakeJni::bytes");
    return object ? object->bytes : std::vector<jbyte>();
}

std::vector<uint8_t> FakeJni::unsignedBytes(jbyteArray array) const {
    std::vector<jbyte> held = bytes(array);
    return std::vector<uint8_t>(held.begin(), held.end());
}

std::vector<jobject> FakeJni::elements(jobjectArray array) const {
    std::lock_guard lock(mutex_);
    Object* object = expect(array, Kind::ObjectArray, "FakeJni::elements");
    return object ? object->elements : std::vector<jobject>();
}

std::vector<std::u16string> FakeJni::texts(jobjectArray array) const {
    std::vector<std::u16string> result;
    for (jobject element : elements(array)) result.push_back(element ? text(element) : std::u16string());
    return result;
}

std::string FakeJni::elementClass(jobjectArray array) const {
    std::lock_guard lock(mutex_);
    Object* object = expect(array, Kind::ObjectArray, "FakeJni::elementClass");
    return object ? object->name : std::string();
}

void FakeJni::refuse(const std::string& call, int times) {
    std::lock_guard lock(mutex_);
    refusals_[call] = times;
}

int FakeJni::outstandingPins() const {
    std::lock_guard lock(mutex_);
    return int(std::count_if(pins_.begin(), pins_.end(), [](const auto& p) { return !p->released; }));
}

std::vector<FakeJni::Release> FakeJni::releases() const {
    std::lock_guard lock(mutex_);
    return releases_;
}

std::optional<FakeJni::Exception> FakeJni::pendingException() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

int FakeJni::describeCount() const { return calls("ExceptionDescribe"); }

std::vector<FakeJni::Exception> FakeJni::described() const {
    std::lock_guard lock(mutex_);
    return described_;
}

int FakeJni::calls(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto counted = calls_.find(name);
    return counted == calls_.end() ? 0 : counted->second;
}

std::vector<std::string> FakeJni::callsWhilePending() const {
    std::lock_guard lock(mutex_);
    return callsWhilePending_;
}

std::vector<jobject> FakeJni::deletedRefs() const {
    std::lock_guard lock(mutex_);
    return deletedRefs_;
}
