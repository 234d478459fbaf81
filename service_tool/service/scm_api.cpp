#include "service_tool/service/scm_api.h"

namespace {

const ScmApi systemApi = {
    ::OpenSCManagerW,
    ::OpenServiceW,
    ::CloseServiceHandle,
    ::QueryServiceConfigW,
    ::QueryServiceStatusEx,
    ::EnumServicesStatusW,
    ::EnumDependentServicesW,
    ::ControlService,
    ::StartServiceW,
    ::DeleteService,
    ::Sleep,
};

const ScmApi* currentApi = &systemApi;

} // namespace

const ScmApi& Scm()
{
    return *currentApi;
}

void SetScmApi(const ScmApi* api)
{
    currentApi = api ? api : &systemApi;
}
