/* Load test of the Windows module, run under wine: loads the .pyd the way
   the interpreter does, with the stand-in python312.dll beside this program,
   checks that its C-runtime imports are bound into the Universal C Runtime
   (ucrtbase.dll, the interpreter's) with msvcrt.dll nowhere in the process,
   calls PyInit_orvane and checks the module definition it hands over. It
   proves that the file loads and resolves its imports, not what the module
   does.

   Exit status: 0 when every check holds, 1 when one fails, 2 on bad usage.
   The stand-in DLL ends the process with 3 if PyInit_orvane calls anything
   but PyModuleDef_Init. */
#include <Python.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

_Static_assert(sizeof(void *) == 8 && SIZEOF_VOID_P == 8 && sizeof(Py_ssize_t) == 8,
               "compile with -DMS_WIN64");

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        printf("FAIL: %s\n", what);
        failures++;
    }
}

/* True when p points into the image of module m. */
static int inside(HMODULE m, const void *p) {
    MEMORY_BASIC_INFORMATION info;
    return p && VirtualQuery(p, &info, sizeof info) && info.AllocationBase == (void *)m;
}

struct imports {
    int python, crt;
};

/* Every import of the module is bound to the export of that name in its
   DLL. Windows refuses a module with an import it cannot resolve; wine loads
   it all the same and binds the import to a stub of its own, so look. The
   api-ms-win-crt-* sets forward to ucrtbase.dll: a C-runtime import bound
   elsewhere would give the module a runtime of its own. */
static struct imports check_imports(HMODULE pyd) {
    const BYTE *base = (const BYTE *)pyd;
    const IMAGE_NT_HEADERS *nt =
        (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY *dir =
        &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const HMODULE ucrt = GetModuleHandleA("ucrtbase.dll");
    struct imports count = {0, 0};
    for (const IMAGE_IMPORT_DESCRIPTOR *d =
             (const IMAGE_IMPORT_DESCRIPTOR *)(base + dir->VirtualAddress);
         d->Name; d++) {
        const char *dll_name = (const char *)(base + d->Name);
        HMODULE dll = GetModuleHandleA(dll_name);
        const int crt = _strnicmp(dll_name, "api-ms-win-crt-", 15) == 0;
        const IMAGE_THUNK_DATA *names = (const IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
        const IMAGE_THUNK_DATA *bound = (const IMAGE_THUNK_DATA *)(base + d->FirstThunk);
        for (; names->u1.AddressOfData; names++, bound++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                printf("FAIL: an import from %s is by ordinal\n", dll_name);
                failures++;
                continue;
            }
            const char *name =
                (const char *)((const IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData))->Name;
            FARPROC export = dll ? GetProcAddress(dll, name) : NULL;
            if (!export || (ULONG_PTR)export != bound->u1.Function) {
                printf("FAIL: %s!%s is not bound to its export\n", dll_name, name);
                failures++;
            }
            if (crt && !inside(ucrt, (const void *)bound->u1.Function)) {
                printf("FAIL: %s!%s is not bound into ucrtbase.dll\n", dll_name, name);
                failures++;
            }
            if (_stricmp(dll_name, "python312.dll") == 0) count.python++;
            count.crt += crt;
        }
    }
    return count;
}

static void check_definition(HMODULE pyd, const PyModuleDef *def) {
    /* PyModuleDef_HEAD_INIT outside the interpreter's core: one reference,
       no type until the interpreter's PyModuleDef_Init sets it. */
    check(def->m_base.ob_base.ob_refcnt == 1, "m_base holds one reference");
    check(def->m_base.ob_base.ob_type == NULL, "m_base has no type yet");
    check(def->m_name && strcmp(def->m_name, "orvane") == 0, "m_name is \"orvane\"");
    check(def->m_doc == NULL, "m_doc is NULL");
    check(def->m_size == 0, "m_size is 0");
    const PyModuleDef_Slot *s = def->m_slots;
    check(inside(pyd, s), "m_slots lies in the module");
    if (!inside(pyd, s)) return;
    check(s[0].slot == Py_mod_create && inside(pyd, s[0].value),
          "slot 0 is Py_mod_create with a function of the module");
    check(s[1].slot == Py_mod_exec && inside(pyd, s[1].value),
          "slot 1 is Py_mod_exec with a function of the module");
    check(s[2].slot == 0 && s[2].value == NULL, "slot 2 ends the slots");
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: loadtest MODULE.pyd\n");
        return 2;
    }
    char path[MAX_PATH];
    if (!GetFullPathNameA(argv[1], sizeof path, path, NULL)) {
        printf("FAIL: no full path for %s\n", argv[1]);
        return 1;
    }
    /* The flags the interpreter loads extension modules with: python312.dll
       is found in this program's directory. */
    HMODULE pyd = LoadLibraryExA(path, NULL,
                                 LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (!pyd) {
        printf("FAIL: LoadLibraryEx(%s): error %lu\n", path, GetLastError());
        return 1;
    }
    check(GetModuleHandleA("python312.dll") != NULL, "python312.dll is loaded with the module");
    check(GetModuleHandleA("msvcrt.dll") == NULL, "msvcrt.dll is not loaded with the module");
    const struct imports imports = check_imports(pyd);
    check(imports.python > 0, "the module imports from python312.dll");
    FARPROC entry = GetProcAddress(pyd, "PyInit_orvane");
    if (!entry) {
        printf("FAIL: no PyInit_orvane in %s\n", path);
        return 1;
    }
    PyObject *(*init)(void) = (PyObject * (*)(void))(void (*)(void))entry;
    const PyModuleDef *def = (const PyModuleDef *)init();
    check(inside(pyd, def), "PyInit_orvane returns a definition that lies in the module");
    if (inside(pyd, def)) check_definition(pyd, def);
    if (failures) return 1;
    printf("load test passed: %s loads with its %d imports from python312.dll bound and its "
           "%d C-runtime imports bound into ucrtbase.dll, without msvcrt.dll, and PyInit_orvane "
           "hands over the definition of \"orvane\" with create and exec slots\n",
           argv[1], imports.python, imports.crt);
    return 0;
}
