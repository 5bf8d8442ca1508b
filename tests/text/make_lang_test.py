#!/usr/bin/env python3
"""Tests of scripts/make_lang.py: the key list it reads from the header, its check and its
[extra] editing. Run: python3 tests/text/make_lang_test.py"""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import make_lang  # noqa: E402

HEADER = r'''
inline constexpr ExtraText kExtraTexts[] = {
    // {"commented_out", "no"},
    {"first_key", "One line"},
    {"second_key",
     "Two \"quoted\" "
     "pieces"},
};
'''

GOOD = ("[ftext]\r\n0=zero\r\n1=one\r\n\r\n[extra]\r\nfirst_key=Eins\r\n"
        "second_key=Zwei\r\n")


class ExtraTextsTest(unittest.TestCase):
    def test_reads_keys_and_joins_continued_literals(self):
        with tempfile.NamedTemporaryFile("w", suffix=".h", delete=False) as header:
            header.write(HEADER)
        try:
            self.assertEqual(make_lang.extra_texts(header.name),
                             [("first_key", "One line"), ("second_key", 'Two "quoted" pieces')])
        finally:
            os.unlink(header.name)

    def test_reads_the_real_header(self):
        keys = [key for key, _ in make_lang.extra_texts()]
        self.assertIn("lang_unusable", keys)
        self.assertEqual(len(keys), len(set(keys)))


class ProblemsTest(unittest.TestCase):
    KEYS = ["first_key", "second_key"]

    def test_good_file_has_none(self):
        self.assertEqual(make_lang.problems(GOOD, self.KEYS), [])

    def test_finds_each_fault(self):
        cases = {
            GOOD.replace("second_key=Zwei\r\n", ""): "lacks 'second_key'",
            GOOD + "third_key=Drei\r\n": "'third_key' is no key",
            GOOD + "first_key=again\r\n": "'first_key' twice",
            GOOD.replace("first_key=", "first_key ="): "not 'name=text'",
            GOOD.replace("Eins", "Ei;ns"): "';' cuts the text",
            GOOD.replace("Eins", "Ei[n]s"): "'[...]' cuts the text",
            GOOD.replace("1=one", "1 =one"): "not 'N=text'",
            GOOD.replace("1=one", "75=one"): "slot 75 out of range",
            GOOD.replace("[extra]\r\n", ""): "[extra] appears 0 times",
        }
        for text, expected in cases.items():
            with self.subTest(expected=expected):
                self.assertTrue(any(expected in p for p in make_lang.problems(text, self.KEYS)),
                                make_lang.problems(text, self.KEYS))


class EditTest(unittest.TestCase):
    def test_encode_writes_crlf_utf16le_without_bom(self):
        data = make_lang.encode("\ufeffa\nb\rc\r\nd")
        self.assertEqual(data, "a\r\nb\r\nc\r\nd".encode("utf-16-le"))
        self.assertEqual(make_lang.decode(data), "a\r\nb\r\nc\r\nd")

    def test_set_replaces_in_place_or_adds_at_the_end_of_the_section(self):
        text = "[ftext]\n0=z\n[extra]\na_key=old\n\n[later]\nx=1\n"
        self.assertEqual(make_lang.set_extra(text, "a_key", "new"),
                         "[ftext]\n0=z\n[extra]\na_key=new\n\n[later]\nx=1\n")
        self.assertEqual(make_lang.set_extra(text, "b_key", "added"),
                         "[ftext]\n0=z\n[extra]\na_key=old\nb_key=added\n\n[later]\nx=1\n")
        self.assertEqual(make_lang.set_extra("[ftext]\n0=z\n\n", "a_key", "v"),
                         "[ftext]\n0=z\n\n[extra]\na_key=v\n")

    def test_check_refuses_lf_line_ends_and_a_bom(self):
        data = GOOD.encode("utf-16-le")
        self.assertEqual(make_lang.check(data, ProblemsTest.KEYS), [])
        self.assertEqual(make_lang.check(GOOD.replace("\r\n", "\n").encode("utf-16-le"),
                                         ProblemsTest.KEYS),
                         ["a line ends in LF or CR alone, not CR LF"])
        self.assertEqual(make_lang.check(b"\xff\xfe" + data, ProblemsTest.KEYS),
                         ["starts with a byte-order mark"])

if __name__ == "__main__":
    unittest.main()
