"""Checks of the Windows build's own tools (pydef.py, check_pyd.py) on made-up
inputs, so that a fault in them cannot let a broken module through."""

import unittest

import check_pyd
import pydef

HEADER = """
/* PyAPI_FUNC(int) InComment(void); */
#define PyAPI_FUNC(RTYPE) Py_IMPORTED_SYMBOL RTYPE
#  define PyAPI_DATA(RTYPE) extern Py_IMPORTED_SYMBOL \\
      RTYPE
PyAPI_FUNC(PyObject *) PyThing_New(Py_ssize_t size);
PyAPI_FUNC(int (*)(void)) PyThing_Getter(void);
PyAPI_FUNC(const char *)
    PyThing_Name(PyObject *);  // a declaration over two lines
PyAPI_DATA(PyTypeObject) PyThing_Type;
PyAPI_DATA(const unsigned long) Py_Version;
PyAPI_DATA(const unsigned char) _Py_table[];
PyAPI_DATA(int) (*PyOS_Hook)(void);
PyAPI_DATA(char) *(*PyOS_ReadHook)(FILE *, const char *);
PyAPI_DATA(int) _PyThing_SetProfile(int how);
"""

OBJDUMP = """
orvane.cp312-win_amd64.pyd:     file format pei-x86-64

Characteristics 0x222e
\texecutable
\tlarge address aware
\tDLL

Time/Date\t\tWed Dec  9 06:44:05 2026
Magic\t\t\t020b\t(PE32+)
MajorLinkerVersion\t2

There is an import table in .idata at 0x1ee993000

The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 00013000\t00013050 00000000 00000000 000140d4 00013420

\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t137f0\t  283  DeleteCriticalSection
\t1386c\t 1445  TlsGetValue

 00013014\t000130a0 00000000 00000000 00014124 00013470

\tDLL Name: api-ms-win-crt-private-l1-1-0.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t1390e\t    0  memchr

 00013028\t00013128 00000000 00000000 000142a8 000134f8

\tDLL Name: python312.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t13942\t    1  PyBaseObject_Type
\t13964\t    3  PyModuleDef_Init

 0001303c\t00000000 00000000 00000000 00000000 00000000

There is an export table in .edata at 0x1ee992000

Export Address Table -- Ordinal Base 1
\t[   0] +base[   1] 8180 Export RVA

[Ordinal/Name Pointer] Table
\t[   0] PyInit_orvane

The Function Table (interpreted .pdata section contents)
"""


class HeaderDeclarations(unittest.TestCase):
    def setUp(self):
        self.found = pydef.declarations(HEADER)

    def test_functions(self):
        for name in ("PyThing_New", "PyThing_Getter", "PyThing_Name"):
            self.assertEqual(self.found[name], "func", name)

    def test_data(self):
        for name in ("PyThing_Type", "Py_Version", "_Py_table", "PyOS_Hook", "PyOS_ReadHook"):
            self.assertEqual(self.found[name], "data", name)

    def test_function_declared_as_data_is_a_function(self):
        self.assertEqual(self.found["_PyThing_SetProfile"], "func")

    def test_comments_and_directives_declare_nothing(self):
        self.assertEqual(len(self.found), 9)
        self.assertNotIn("InComment", self.found)
        self.assertNotIn("Py_IMPORTED_SYMBOL", self.found)


class DefEntries(unittest.TestCase):
    declared = {"PyThing_New": "func", "PyThing_Type": "data", "PyVectorcall_Call": "func"}

    def test_import_pointers_and_direct_references(self):
        undefined = {"__imp_PyThing_New", "__imp_PyThing_Type", "PyVectorcall_Call",
                     "__imp_PyThing_New", "memcpy", "__imp__assert", "_ZN6orvane1TE"}
        entries = pydef.imports(undefined, {"_ZN6orvane1TE"}, self.declared)
        self.assertEqual(entries, [("PyThing_New", "func"), ("PyThing_Type", "data"),
                                   ("PyVectorcall_Call", "func")])

    def test_undeclared_interpreter_name_is_refused(self):
        with self.assertRaisesRegex(ValueError, "^_Py_Secret: not declared"):
            pydef.imports({"__imp__Py_Secret"}, set(), self.declared)

    def test_data_without_import_pointer_is_refused(self):
        with self.assertRaisesRegex(ValueError, "^PyThing_Type: data referenced without"):
            pydef.imports({"PyThing_Type"}, set(), self.declared)

    def test_def_text_round_trip(self):
        entries = [("PyModuleDef_Init", "func"), ("Py_Version", "data")]
        text = pydef.def_text(entries)
        self.assertEqual(text, "LIBRARY python312.dll\nEXPORTS\n    PyModuleDef_Init\n"
                               "    Py_Version DATA\n")
        self.assertEqual(pydef.parse_def(text), entries)


class StandIn(unittest.TestCase):
    entries = [("PyModuleDef_Init", "func"), ("PyThing_New", "func"), ("PyThing_Type", "data")]

    def test_stub_source(self):
        text = pydef.stub_text(self.entries)
        self.assertIn("void *PyModuleDef_Init(void *def) { return def; }", text)
        self.assertIn('void *PyThing_New(void) { called("PyThing_New"); return NULL; }', text)
        self.assertIn(f"unsigned char PyThing_Type[{pydef.DATA_SIZE}];", text)
        self.assertEqual(text.count("PyModuleDef_Init"), 1)

    def test_stub_needs_module_def_init(self):
        with self.assertRaisesRegex(ValueError, "does not import PyModuleDef_Init"):
            pydef.stub_text(self.entries[1:])

    def test_sizes_cover_data_only(self):
        text = pydef.sizes_text(self.entries)
        self.assertIn("static_assert(fits<decltype(PyThing_Type)>()", text)
        self.assertNotIn("PyThing_New", text)
        self.assertIn('"compile with -DMS_WIN64"', text)


class PydCheck(unittest.TestCase):
    def info(self, text=OBJDUMP):
        return check_pyd.parse(text)

    def test_parse(self):
        info = self.info()
        self.assertEqual((info["format"], info["magic"]), ("pei-x86-64", "020b"))
        self.assertIn("DLL", info["characteristics"])
        self.assertEqual(info["imports"], {
            "KERNEL32.dll": ["DeleteCriticalSection", "TlsGetValue"],
            "api-ms-win-crt-private-l1-1-0.dll": ["memchr"],
            "python312.dll": ["PyBaseObject_Type", "PyModuleDef_Init"],
        })
        self.assertEqual(info["exports"], ["PyInit_orvane"])

    def test_sound_module_passes(self):
        self.assertEqual(check_pyd.faults(self.info()), [])

    def test_imported_dlls(self):
        allowed = ("python312.dll", "KERNEL32.dll", "kernel32.dll", "VCRUNTIME140.dll",
                   "api-ms-win-crt-heap-l1-1-0.dll", "API-MS-WIN-CRT-RUNTIME-L1-1-0.dll")
        old = "an old C runtime, not the interpreter's Universal C Runtime"
        other = "only python312.dll, KERNEL32.dll and the Universal C Runtime are allowed"
        for dll, fault in [*((d, None) for d in allowed),
                           ("msvcrt.dll", old), ("MSVCRT.DLL", old), ("msvcr100.dll", old),
                           ("ucrtbase.dll", other), ("libstdc++-6.dll", other),
                           ("libgcc_s_seh-1.dll", other), ("vcruntime140_1.dll", other),
                           ("api-ms-win-crt-.dll", other), ("python311.dll", other)]:
            with self.subTest(dll=dll):
                info = self.info(OBJDUMP.replace("api-ms-win-crt-private-l1-1-0.dll", dll))
                self.assertEqual(check_pyd.faults(info),
                                 [f"imports from {dll}: {fault}"] if fault else [])

    def test_pe32_fails(self):
        info = self.info(OBJDUMP.replace("020b\t(PE32+)", "010b\t(PE32)")
                         .replace("pei-x86-64", "pei-i386"))
        self.assertEqual(check_pyd.faults(info), [
            "not a PE32+ x86-64 image (format pei-i386, magic 010b)"])

    def test_executable_fails(self):
        self.assertEqual(check_pyd.faults(self.info(OBJDUMP.replace("\tDLL\n", ""))),
                         ["not a DLL"])

    def test_extra_export_fails(self):
        text = OBJDUMP.replace("\t[   0] PyInit_orvane", "\t[   0] PyInit_orvane\n\t[   1] helper")
        self.assertEqual(check_pyd.faults(self.info(text)), [
            "exports ['PyInit_orvane', 'helper']: expected exactly ['PyInit_orvane']"])

    def test_no_interpreter_import_fails(self):
        info = self.info()
        del info["imports"]["python312.dll"]
        self.assertEqual(check_pyd.faults(info), ["imports nothing from python312.dll"])


if __name__ == "__main__":
    unittest.main()
