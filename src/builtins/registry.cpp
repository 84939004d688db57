// The registry of the built-in functions.
#include "builtins/registry.h"

#include "builtins/arg.h"
#include "builtins/casts.h"
#include "builtins/control.h"
#include "builtins/definitions.h"
#include "builtins/docpaths.h"
#include "builtins/elements.h"
#include "builtins/environments.h"
#include "builtins/evaluation.h"
#include "builtins/exit.h"
#include "builtins/files.h"
#include "builtins/findfile.h"
#include "builtins/get.h"
#include "builtins/grouping.h"
#include "builtins/interpctl.h"
#include "builtins/lists.h"
#include "builtins/load.h"
#include "builtins/openinterp.h"
#include "builtins/print.h"
#include "builtins/printchain.h"
#include "builtins/printstd.h"
#include "builtins/proxyset.h"
#include "builtins/regswitch.h"
#include "builtins/relations.h"
#include "builtins/remote.h"
#include "builtins/resultformat.h"
#include "builtins/rule.h"
#include "builtins/save.h"
#include "builtins/strings.h"
#include "builtins/sysinfo.h"
#include "builtins/threads.h"
#include "builtins/unitfuncs.h"
#include "longchar/longchar.h"

void init_symbols(QVISP_ENV* env0, QVISP_ENV* env1) {
    set_env(env0, l_string(std_cm, "Env0"), get_env(vxlisp_top_env0));
    set_env(env1, l_string(std_cm, "Env1"), get_env(vxlisp_top_env1));
}

void init_function(QVISP_ENV* env0, QVISP_ENV* env1, int argc, char** argv) {
    init_sh_arg(argc, argv);
    init_symbols(env0, env1);
    // The families in the library's fixed order; each later issue adds its own in its place.
    init_While(env0);
    init_For(env0);
    init_ListLength(env0);
    init_List(env0);
    init_Parse(env0);
    init_q_xml(env0);
    init_OpenInterpreter(env0);
    init_CloseInterpreter(env0);
    init_Remote(env0);
    init_Local(env0);
    init_LocalEval(env0);
    init_Exit(env1);
    init_CurrentEnvironment(env0);
    init_Eval(env0);
    init_If(env0);
    init_Sequence(env0);
    init_Next(env0);
    init_GetIid(env0);
    init_Arg(env1);
    init_Switch(env0);
    init_SetMainInterpreter(env1);
    init_GetVariable(env1);
    init_WaitInterpreter(env0);
    init_GetElement(env0);
    init_ErrHandler(env0);
    init_Lambda(env0);
    init_Define(env0);
    init_DefineDefault(env0);
    init_NewEnvironment(env0);
    init_GetParentEnvironment(env0);
    init_SetParentEnvironment(env0);
    init_CutOut(env0);
    init_Append(env0);
    init_Print(env0);
    init_PrintStd(env0);
    init_PrintChain(env0);
    init_CutString(env0);
    init_StringLength(env0);
    init_GetChar(env0);
    init_SetChar(env0);
    init_MakeElement(env0);
    init_Load(env1);
    init_Save(env1);
    init_GetAttribute(env0);
    init_GetSymbolCore(env0);
    init_ConvertUnit(env0);
    init_SetPrefixMode(env1);
    init_GetPrefixMode(env0);
    init_Get(env0);
    init_SetThisAgentName(env1);
    init_SetDatabasePath(env1);
    init_SetDirectory(env1);
    init_GetQVpathpair(env1);
    init_GetQVTime(env0);
    init_ComposePath(env0);
    init_Trunc(env0);
    init_Leaf(env0);
    init_Directory(env0);
    init_Prefix(env0);
    init_SetResultFormat(env0);
    init_DeleteDefine(env0);
    init_DeleteDefaultDefine(env0);
    init_MoveDefine(env0);
    init_Cast(env0);
    init_DivideString(env0);
    init_Sort(env0);
    init_ListEval(env0);
    init_NewEnvPair(env0);
    init_NaturalJoin(env0);
    init_Projection(env0);
    init_EE(env0);
    init_ReplaceString(env0);
    init_Reverse(env0);
    init_Rule(env1);
    init_Sleep(env0);
    init_IfDef(env0);
    init_EA(env0);
    init_SetEA(env0);
    init_SetLogPath(env1);
    init_GetProperCode(env0);
    init_GetVersion(env0);
    init_GetSize(env0);
    init_FindFile(env1);
    init_SetAttribute(env0);
    init_GetTag(env0);
    init_Test(env1);
    init_SetScriptPath(env1);
    init_RegCmp(env0);
    init_RegSwitch(env0);
    init_Word2String(env0);
    init_Categorize(env0);
    init_V2H(env0);
    init_GetType(env0);
    init_SetUnit(env0);
    init_GetUnit(env0);
    init_SetProxy(env1);
    init_GetProxy(env0);
    init_Chdir(env1);
    init_UnitSystem(env0);
    init_GetMainInterpreter(env0);
    init_GetQVIinfo(env0);
    init_IgnoreDelay(env0);
    init_Let(env0);
    init_Thread(env0);
    init_GetCwd(env0);
    init_UTime(env0);
    init_Rm(env0);
    init_Mv(env0);
    init_Mkdir(env0);
    init_Touch(env0);
    init_FormatEval(env0);
    init_GetListbaseEnv(env0);
    init_SetListbaseEnv(env0);
    init_DefineEval(env0);
}
