// The fake JNIEnv behaves as a copying VM does, so that the natives' tests
// can trust what it reports.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "fake_jni.h"

namespace {

TEST(FakeJniTest, PinnedElementsAreCopiesCarriedBackByTheRelease) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    jbyteArray message = jni.bytes({1, 2, 3});
    jbyte* pinned = env->GetByteArrayElements(message, nullptr);
    pinned[0] = 9;
    EXPECT_EQ(jni.bytes(message), (std::vector<jbyte>{1, 2, 3}));
    EXPECT_EQ(jni.outstandingPins(), 1);
    env->ReleaseByteArrayElements(message, pinned, 0);
    EXPECT_EQ(jni.bytes(message), (std::vector<jbyte>{9, 2, 3}));

    jintArray cell = jni.ints({0});
    jint* index = env->GetIntArrayElements(cell, nullptr);
    index[0] = 4;
    env->ReleaseIntArrayElements(cell, index, JNI_ABORT);
    EXPECT_EQ(jni.ints(cell), (std::vector<jint>{0}));

    EXPECT_EQ(jni.outstandingPins(), 0);
    ASSERT_EQ(jni.releases().size(), 2u);
    EXPECT_EQ(jni.releases()[1].call, "ReleaseIntArrayElements");
    EXPECT_EQ(jni.releases()[1].mode, JNI_ABORT);
}

TEST(FakeJniTest, MisuseOfPinsFailsTheTest) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    jbyteArray reply = jni.bytes({0, 0});
    jbyte* pinned = env->GetByteArrayElements(reply, nullptr);
    EXPECT_NONFATAL_FAILURE(
        {
            pinned[2] = 1;
            env->ReleaseByteArrayElements(reply, pinned, 0);
        },
        "past the end");
    EXPECT_NONFATAL_FAILURE(env->ReleaseByteArrayElements(reply, pinned, 0), "released twice");

    jni.refuse("GetByteArrayElements");
    EXPECT_EQ(env->GetByteArrayElements(reply, nullptr), nullptr);
    ASSERT_TRUE(jni.pendingException());
    EXPECT_EQ(jni.pendingException()->className, "java/lang/OutOfMemoryError");
    env->ExceptionClear();
    jbyte* again = env->GetByteArrayElements(reply, nullptr);
    ASSERT_NE(again, nullptr);
    env->ReleaseByteArrayElements(reply, again, 0);
}

TEST(FakeJniTest, RegionsOutOfBoundsLeaveAnExceptionAndTheArray) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    jintArray cell = jni.ints({5});
    const jint values[] = {1, 2};
    env->SetIntArrayRegion(cell, 0, 2, values);
    EXPECT_EQ(jni.ints(cell), (std::vector<jint>{5}));
    ASSERT_TRUE(jni.pendingException());
    EXPECT_EQ(jni.pendingException()->className, "java/lang/ArrayIndexOutOfBoundsException");
    env->NewString(nullptr, 0);
    EXPECT_EQ(jni.callsWhilePending(), (std::vector<std::string>{"NewString"}));
    env->ExceptionClear();
    env->SetIntArrayRegion(cell, 0, 1, values);
    EXPECT_EQ(jni.ints(cell), (std::vector<jint>{1}));
    EXPECT_FALSE(env->ExceptionCheck());
}

TEST(FakeJniTest, StringsClassesArraysAndExceptions) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    jstring name = jni.string(u"COM1:");
    EXPECT_EQ(env->GetStringLength(name), 5);
    const jchar* chars = env->GetStringChars(name, nullptr);
    EXPECT_EQ(chars[4], u':');
    EXPECT_NE(chars[5], 0);  // not terminated, as JNI does not promise it
    env->ReleaseStringChars(name, chars);

    jclass text = env->FindClass("java/lang/String");
    jobjectArray list = env->NewObjectArray(2, text, env->NewString(nullptr, 0));
    const jchar port[] = {u'C', u'O', u'M', u'2', u':'};
    env->SetObjectArrayElement(list, 1, env->NewString(port, 5));
    env->SetObjectArrayElement(list, 2, name);
    EXPECT_EQ(jni.texts(list), (std::vector<std::u16string>{u"", u"COM2:"}));
    EXPECT_EQ(jni.elementClass(list), "java/lang/String");
    EXPECT_EQ(jni.pendingException()->className, "java/lang/ArrayIndexOutOfBoundsException");
    env->ExceptionClear();

    const char* unknown = "javax/comm/UnsupportedCommOperationException";
    EXPECT_EQ(env->FindClass(unknown), nullptr);
    EXPECT_EQ(jni.pendingException()->className, "java/lang/NoClassDefFoundError");
    env->ExceptionDescribe();
    EXPECT_EQ(jni.describeCount(), 1);
    EXPECT_FALSE(jni.pendingException());

    jni.knownClasses.insert(unknown);
    jclass thrown = env->FindClass(unknown);
    EXPECT_EQ(env->ThrowNew(thrown, "COM1: refused"), 0);
    env->DeleteLocalRef(thrown);
    EXPECT_EQ(jni.pendingException()->className, unknown);
    EXPECT_EQ(jni.pendingException()->message, "COM1: refused");
    EXPECT_EQ(jni.deletedRefs(), (std::vector<jobject>{thrown}));
    EXPECT_TRUE(jni.callsWhilePending().empty());
}

}  // namespace
