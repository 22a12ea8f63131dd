// The setup tool's two sequences and what it binds of the support library.
#include <iterator>

#include "loader.h"
#include "setup.h"

namespace {

constexpr unsigned kSetupService = 3;  // on demand

}  // namespace

bool BindSetupFunctions(kvp::HLibrary lib, SetupFunctions* f, const char** missing) {
    const ExportBinding bindings[] = {
        {"SetSvcInstallDirectory", Slot(&f->setSvcInstallDirectory)},
        {"AddEventSource", Slot(&f->addEventSource)},
        {"AddSvcToMachine", Slot(&f->addSvcToMachine)},
        {"AddCplToMachine", Slot(&f->addCplToMachine)},
        {"SetStartupType", Slot(&f->setStartupType)},
        {"SendGenericLogMessage", Slot(&f->sendGenericLogMessage)},
        {"DoSvcStop", Slot(&f->doSvcStop)},
        {"RemoveEventSource", Slot(&f->removeEventSource)},
        {"RemoveSvcFromMachine", Slot(&f->removeSvcFromMachine)},
        {"RemoveCplFromMachine", Slot(&f->removeCplFromMachine)},
        {"GetProductInformation", Slot(&f->getProductInformation)},
    };
    return BindExports(lib, bindings, std::size(bindings), missing);
}

void SetupInstall(const SetupFunctions& f) {
    f.setSvcInstallDirectory();
    f.addEventSource();
    f.addSvcToMachine();
    f.addCplToMachine();
    f.setStartupType(kSetupService);
    f.sendGenericLogMessage("TFTP service added, starts on demand.");
}

void SetupRemove(const SetupFunctions& f) {
    // Written first, while the event source is still registered.
    f.sendGenericLogMessage("TFTP service stopped and removed.");
    f.doSvcStop();
    f.removeEventSource();
    f.removeSvcFromMachine();
    f.removeCplFromMachine();
}
