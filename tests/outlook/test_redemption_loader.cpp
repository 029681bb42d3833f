// The library loader against small modules of our own, one per failure
// path, and a working one that counts what the loader asks of it.

#include <dlfcn.h>

#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "outlook/member_names.h"
#include "outlook/redemption_ids.h"
#include "outlook/redemption_loader.h"
#include "platform/com/guid_text.h"
#include "platform/dynamic_library.h"
#include "platform/system.h"

namespace {

using outlook::ComError;
using outlook::LoaderError;
using outlook::TRedemptionLoader;

const QString kWorking = QStringLiteral(FAKE_MODULE_WORKING);
const QString kNoExport = QStringLiteral(FAKE_MODULE_NO_EXPORT);
const QString kNoFactory = QStringLiteral(FAKE_MODULE_NO_FACTORY);
const QString kRefusing = QStringLiteral(FAKE_MODULE_REFUSING);
const QString kNoInterface = QStringLiteral(FAKE_MODULE_NO_INTERFACE);

// The system's loader, counting the calls made through it.
class CountingLoader : public platform::DynamicLoader {
 public:
  std::vector<QString> loaded;
  int symbols = 0;
  int unloads = 0;

  platform::ModuleHandle Load(const QString& path) override {
    loaded.push_back(path);
    return System().Load(path);
  }
  void* Symbol(platform::ModuleHandle module, const char* name) override {
    ++symbols;
    return System().Symbol(module, name);
  }
  void Unload(platform::ModuleHandle module) override {
    ++unloads;
    System().Unload(module);
  }
  QString LastErrorText() override { return System().LastErrorText(); }
};

struct Counters {
  int getClassObject = 0, createInstance = 0, liveFactories = 0, liveObjects = 0;
};

// Reads a module's counters through a handle of our own, which also keeps
// the module's state alive between loaders within one test.
class ModuleProbe {
 public:
  explicit ModuleProbe(const QString& path) : handle_(dlopen(path.toLocal8Bit().constData(), RTLD_NOW)) {}
  ~ModuleProbe() {
    if (handle_) dlclose(handle_);
  }
  Counters Read() const {
    using Fn = void (*)(int*, int*, int*, int*);
    Counters c;
    auto fn = reinterpret_cast<Fn>(dlsym(handle_, "FakeModuleCounters"));
    if (fn) fn(&c.getClassObject, &c.createInstance, &c.liveFactories, &c.liveObjects);
    return c;
  }

 private:
  void* handle_;
};

QString ExecutableDir() { return QFileInfo(platform::ExecutablePath()).absolutePath(); }

TEST(RedemptionLoader, TwoCreationsLoadOnceLookUpOnceAskTheFactoryTwice) {
  ModuleProbe probe(kWorking);
  const Counters before = probe.Read();
  CountingLoader dl;
  {
    TRedemptionLoader loader(dl);
    loader.SetDllLocation32Bit(kWorking);
    const outlook::DispatchRef first = loader.new_RDOSession();
    const outlook::DispatchRef second = loader.new_RDOSession();
    EXPECT_NE(first.Interface(), second.Interface());
    EXPECT_EQ(dl.loaded.size(), 1u);
    EXPECT_EQ(dl.symbols, 1);
    const Counters after = probe.Read();
    EXPECT_EQ(after.getClassObject - before.getClassObject, 2);
    EXPECT_EQ(after.createInstance - before.createInstance, 2);
    EXPECT_EQ(after.liveFactories, 0);  // each factory released after its object was made
    EXPECT_EQ(after.liveObjects - before.liveObjects, 2);
  }
  EXPECT_EQ(dl.unloads, 1);
  EXPECT_EQ(probe.Read().liveObjects, before.liveObjects);
}

TEST(RedemptionLoader, LocationSetBeforeTheFirstCreationIsTheOneLoaded) {
  CountingLoader dl;
  TRedemptionLoader loader(dl);
  loader.SetDllLocation32Bit(kWorking);
  loader.new_RDOSession();
  ASSERT_EQ(dl.loaded.size(), 1u);
  EXPECT_EQ(dl.loaded[0], kWorking);
  EXPECT_EQ(loader.DllLocation32Bit(), kWorking);
  // The other location still receives its default.
  EXPECT_EQ(loader.DllLocation64Bit(), ExecutableDir() + QStringLiteral("/Redemption64.so"));

  // Changing the location afterwards does not touch the loaded module.
  loader.SetDllLocation32Bit(QStringLiteral("/nonexistent/other.so"));
  loader.new_RDOSession();
  EXPECT_EQ(dl.loaded.size(), 1u);
}

TEST(RedemptionLoader, EmptyLocationMeansTheModuleNextToTheExecutable) {
  // The build puts a copy of the working module there as "Redemption.so".
  CountingLoader dl;
  TRedemptionLoader loader(dl);
  EXPECT_TRUE(loader.DllLocation32Bit().isEmpty());
  const outlook::DispatchRef session = loader.new_RDOSession();
  EXPECT_FALSE(session.IsNull());
  EXPECT_EQ(loader.DllLocation32Bit(), ExecutableDir() + QStringLiteral("/Redemption.so"));
  EXPECT_EQ(loader.DllLocation64Bit(), ExecutableDir() + QStringLiteral("/Redemption64.so"));
  ASSERT_EQ(dl.loaded.size(), 1u);
  EXPECT_EQ(dl.loaded[0], loader.DllLocation32Bit());
}

TEST(RedemptionLoader, MissingModuleNamesThePathWithTheSystemTextAndIsRetried) {
  CountingLoader dl;
  TRedemptionLoader loader(dl);
  const QString missing = QStringLiteral("/nonexistent/dir/vasnik.so");
  loader.SetDllLocation32Bit(missing);
  try {
    loader.new_RDOSession();
    FAIL() << "no exception";
  } catch (const LoaderError& e) {
    const QString prefix = QStringLiteral("Could not load \"/nonexistent/dir/vasnik.so\": ");
    EXPECT_TRUE(e.Message().startsWith(prefix)) << e.what();
    EXPECT_GT(e.Message().size(), prefix.size()) << "no system text";
    EXPECT_TRUE(e.Message().contains(QStringLiteral("No such file"))) << e.what();
  }
  EXPECT_FALSE(loader.IsLoaded());

  // Nothing was kept from the failure: the next creation loads again.
  loader.SetDllLocation32Bit(kWorking);
  EXPECT_FALSE(loader.new_RDOSession().IsNull());
  EXPECT_EQ(dl.loaded, (std::vector<QString>{missing, kWorking}));
}

TEST(RedemptionLoader, ModuleWithoutTheExportIsAGeneralError) {
  TRedemptionLoader loader;
  loader.SetDllLocation32Bit(kNoExport);
  try {
    loader.new_RDOSession();
    FAIL() << "no exception";
  } catch (const LoaderError& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("The dll does not export the 'DllGetClassObject' function"));
  }
}

TEST(RedemptionLoader, RefusedClassFactoryCarriesItsStatus) {
  TRedemptionLoader loader;
  loader.SetDllLocation32Bit(kNoFactory);
  try {
    loader.new_RDOSession();
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(e.Message(), QStringLiteral("DllGetClassObject returned 0x80040111"));
  }
}

TEST(RedemptionLoader, RefusedInstanceReportsWrongBitnessOrTheStatusAndReleasesTheFactory) {
  ModuleProbe probe(kRefusing);
  TRedemptionLoader loader;
  loader.SetDllLocation32Bit(kRefusing);
  try {
    loader.new_RDOSession();
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), CO_E_WRONGOSFORAPP);
    EXPECT_EQ(e.Message(), QStringLiteral("IClassFactory.CreateInstance returned CO_E_WRONGOSFORAPP.\r\n"
                                          "Make sure the bitness of your application and the MAPI "
                                          "system/Outlook match"));
  }
  try {
    loader.new_SafeMailItem();
    FAIL() << "no exception";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Status(), E_OUTOFMEMORY);
    EXPECT_EQ(e.Message(), QStringLiteral("IClassFactory.CreateInstance returned 0x8007000E"));
  }
  EXPECT_EQ(probe.Read().liveFactories, 0);
  EXPECT_EQ(probe.Read().createInstance, 2);
}

TEST(RedemptionLoader, ObjectWithoutTheClassInterfaceIsAnInterfaceCastError) {
  ModuleProbe probe(kNoInterface);
  TRedemptionLoader loader;
  loader.SetDllLocation32Bit(kNoInterface);
  EXPECT_THROW(loader.new_RDOSession(), outlook::InterfaceCastError);
  EXPECT_EQ(probe.Read().liveObjects, 0);  // the refused object was released
  // InstantiateClass itself does not ask for the class's interface.
  EXPECT_TRUE(loader.InstantiateClass(outlook::ids::CLSID_RDOSession));
}

TEST(RedemptionLoader, EveryCreationFunctionMakesItsOwnClass) {
  using Create = outlook::DispatchRef (TRedemptionLoader::*)();
  namespace ids = outlook::ids;
  const std::vector<std::pair<Create, CLSID>> table = {
      {&TRedemptionLoader::new_RDOSession, ids::CLSID_RDOSession},
      {&TRedemptionLoader::new_SafeMailItem, ids::CLSID_SafeMailItem},
      {&TRedemptionLoader::new_SafeContactItem, ids::CLSID_SafeContactItem},
      {&TRedemptionLoader::new_SafeAppointmentItem, ids::CLSID_SafeAppointmentItem},
      {&TRedemptionLoader::new_SafeTaskItem, ids::CLSID_SafeTaskItem},
      {&TRedemptionLoader::new_SafeJournalItem, ids::CLSID_SafeJournalItem},
      {&TRedemptionLoader::new_SafeMeetingItem, ids::CLSID_SafeMeetingItem},
      {&TRedemptionLoader::new_SafePostItem, ids::CLSID_SafePostItem},
      {&TRedemptionLoader::new_SafeReportItem, ids::CLSID_SafeReportItem},
      {&TRedemptionLoader::new_SafeMAPIFolder, ids::CLSID_SafeMAPIFolder},
      {&TRedemptionLoader::new_SafeCurrentUser, ids::CLSID_SafeCurrentUser},
      {&TRedemptionLoader::new_SafeDistList, ids::CLSID_SafeDistList},
      {&TRedemptionLoader::new_AddressLists, ids::CLSID_AddressLists},
      {&TRedemptionLoader::new_MAPITable, ids::CLSID_MAPITable},
      {&TRedemptionLoader::new_MAPIUtils, ids::CLSID_MAPIUtils},
      {&TRedemptionLoader::new_SafeInspector, ids::CLSID_SafeInspector},
  };
  TRedemptionLoader loader;
  loader.SetDllLocation32Bit(kWorking);
  for (const auto& [create, clsid] : table) {
    const outlook::DispatchRef object = (loader.*create)();
    EXPECT_EQ(object.Get(u"ClassID").ToString().toStdString(), platform::com::GuidToString(clsid));
  }
}

TEST(RedemptionLoader, ProcessLoaderExistsBeforeMainAndStartsEmpty) {
  TRedemptionLoader& instance = outlook::LoaderInstance();
  EXPECT_EQ(&instance, &outlook::LoaderInstance());
  EXPECT_FALSE(instance.IsLoaded());
}

}  // namespace
