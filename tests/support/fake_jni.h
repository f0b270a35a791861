// A small stand-in for the Java VM's JNIEnv, to call JNI entry points in
// unit tests without a VM. It holds its own strings, arrays, classes and
// pending exception, and checks that a native uses them as a VM requires:
// every pin released exactly once, nothing written past pinned elements,
// array regions within bounds. Misuse that would crash or corrupt a real VM
// fails the running test.
#pragma once

#include <jni.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FakeJni {
public:
    struct Exception {
        std::string className;  // "java/lang/ArrayIndexOutOfBoundsException"
        std::string message;
    };
    // One release of pinned elements or characters.
    struct Release {
        std::string call;  // "ReleaseByteArrayElements", ...
        jint mode;         // 0, JNI_COMMIT or JNI_ABORT (0 for strings)
    };

    FakeJni();
    // Fails the running test while pins are outstanding.
    ~FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_; }

    // Java objects a test hands to a native.
    jstring string(const std::u16string& text);
    jintArray ints(std::vector<jint> values);
    jintArray ints(std::initializer_list<jint> values);
    jbyteArray bytes(std::vector<jbyte> values);
    jbyteArray bytes(std::initializer_list<jbyte> values);
    jbyteArray bytes(const std::vector<uint8_t>& values);

    // What the objects hold now (after the native's copy-backs).
    std::u16string text(jobject string) const;
    std::vector<jint> ints(jintArray array) const;
    std::vector<jbyte> bytes(jbyteArray array) const;
    std::vector<uint8_t> unsignedBytes(jbyteArray array) const;
    std::vector<jobject> elements(jobjectArray array) const;
    // The elements of an array of strings; a null element reads as empty.
    std::vector<std::u16string> texts(jobjectArray array) const;
    // The element class an object array was made with.
    std::string elementClass(jobjectArray array) const;

    // The next `times` calls of `call` fail as a VM out of memory does:
    // null, with an OutOfMemoryError pending. Honoured by GetStringChars,
    // Get{Int,Byte}ArrayElements, NewString, NewObjectArray and FindClass.
    void refuse(const std::string& call, int times = 1);

    // Classes FindClass finds; any other name leaves NoClassDefFoundError.
    std::set<std::string> knownClasses{"java/lang/String"};

    // Pins (Get...Elements, GetStringChars) not yet released for good.
    int outstandingPins() const;
    std::vector<Release> releases() const;
    std::optional<Exception> pendingException() const;
    // ExceptionDescribe calls, and the exceptions they printed.
    int describeCount() const;
    std::vector<Exception> described() const;
    // How often a JNI function was called, by its JNI name.
    int calls(const std::string& name) const;
    // Functions called while an exception was pending that JNI does not
    // allow then (anything but the exception and release calls).
    std::vector<std::string> callsWhilePending() const;
    std::vector<jobject> deletedRefs() const;

private:
    enum class Kind { String, IntArray, ByteArray, ObjectArray, Class, Throwable };
    struct Object;
    struct Pin;

    // The fake's side of each JNI function.
    jsize stringLength(jstring string);
    const jchar* stringChars(jstring string, jboolean* isCopy);
    void releaseStringChars(jstring string, const jchar* chars);
    jsize arrayLength(jarray array);
    void* arrayElements(const char* call, Kind kind, jarray array, jboolean* isCopy);
    void releaseArrayElements(const char* call, Kind kind, jarray array, void* elements, jint mode);
    void setArrayRegion(const char* call, Kind kind, jarray array, jsize start, jsize length,
                        const void* source);
    jstring newString(const jchar* units, jsize length);
    jclass findClass(const char* name);
    jobjectArray newObjectArray(jsize length, jclass elementClass, jobject initial);
    void setObjectArrayElement(jobjectArray array, jsize index, jobject value);
    jobject objectArrayElement(jobjectArray array, jsize index);
    jint throwNew(jclass thrown, const char* message);
    jthrowable exceptionOccurred();
    void exceptionDescribe();
    void exceptionClear();
    jboolean exceptionCheck();
    void deleteLocalRef(jobject ref);

    static FakeJni& self(JNIEnv* env);
    void installFunctions();
    void enter(const char* call);
    bool refused(const char* call);
    void raise(const std::string& className, const std::string& message);
    Object* make(Object object);
    Object* find(const void* ref) const;
    Object* expect(const void* ref, Kind kind, const char* call) const;
    bool regionFits(const Object& array, jsize start, jsize length);
    void* pin(Object& owner, const void* data, size_t size);
    void unpin(const char* call, Object& owner, const void* data, jint mode);

    JNINativeInterface_ functions_{};
    JNIEnv env_{};
    mutable std::recursive_mutex mutex_;
    std::map<const void*, std::unique_ptr<Object>> objects_;
    std::map<std::string, jclass> classes_;
    std::vector<std::unique_ptr<Pin>> pins_;
    std::vector<Release> releases_;
    std::map<std::string, int> refusals_;
    std::map<std::string, int> calls_;
    std::vector<std::string> callsWhilePending_;
    std::optional<Exception> pending_;
    std::vector<Exception> described_;
    std::vector<jobject> deletedRefs_;
};
