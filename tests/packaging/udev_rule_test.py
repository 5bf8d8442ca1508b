#!/usr/bin/env python3
"""The meter's udev rule: it must match the meter's hidraw node and nothing else, and give
access through the uaccess tag only, never through a mode that others can use.

Each rule line is evaluated the way udev matches: every KEY=="value" (or !=) must hold for
the device or one of its parents (ATTRS), with shell globs in the values."""
import fnmatch
import re
import sys
import unittest

RULES = sys.argv.pop(1) if len(sys.argv) > 1 else "packaging/linux/70-vireometer.rules"
PAIR = re.compile(r'\s*([A-Z]+(?:\{[^}]+\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(?:,|$)')


def parse(path):
    rules = []
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            pairs, at = [], 0
            while at < len(line):
                match = PAIR.match(line, at)
                if not match:
                    raise ValueError("line %d cannot be read at column %d" % (number, at + 1))
                pairs.append(match.groups())
                at = match.end()
            rules.append(pairs)
    return rules


def value_of(device, key):
    """The device's values for a key: its own, or for ATTRS/SUBSYSTEMS its parents' too."""
    if key.startswith("ATTRS{"):
        name = key[6:-1]
        return [node["attrs"][name] for node in device if name in node["attrs"]]
    if key.startswith("ATTR{"):
        return [device[0]["attrs"][key[5:-1]]] if key[5:-1] in device[0]["attrs"] else []
    if key == "SUBSYSTEMS":
        return [node["subsystem"] for node in device]
    own = {"SUBSYSTEM": device[0]["subsystem"], "KERNEL": device[0]["kernel"],
           "ACTION": "add"}
    return [own[key]] if key in own else []


def matches(rule, device):
    for key, op, value in rule:
        if op not in ("==", "!="):
            continue
        hit = any(fnmatch.fnmatchcase(v, value) for v in value_of(device, key))
        if hit != (op == "=="):
            return False
    return True


def hidraw(vendor, product, subsystem="hidraw", kernel="hidraw0"):
    """A device chain from the node up to its USB device."""
    return [
        {"subsystem": subsystem, "kernel": kernel, "attrs": {}},
        {"subsystem": "hid", "kernel": "0003:%s:%s.0001" % (vendor, product), "attrs": {}},
        {"subsystem": "usb", "kernel": "1-1:1.0", "attrs": {"bInterfaceClass": "03"}},
        {"subsystem": "usb", "kernel": "1-1",
         "attrs": {"idVendor": vendor.lower(), "idProduct": product.lower()}},
    ]


class UdevRule(unittest.TestCase):
    def setUp(self):
        self.rules = parse(RULES)
        self.assertTrue(self.rules, "the file holds a rule")

    def matching(self, device):
        return [rule for rule in self.rules if matches(rule, device)]

    def test_the_meters_hidraw_node_gets_uaccess(self):
        rules = self.matching(hidraw("0716", "5027"))
        self.assertTrue(rules, "the meter is matched")
        self.assertTrue(any(("TAG", "+=", "uaccess") in rule for rule in rules))

    def test_other_devices_and_nodes_are_not_matched(self):
        for device in (hidraw("0716", "5028"), hidraw("0717", "5027"), hidraw("1234", "abcd"),
                       hidraw("0716", "5027", subsystem="input", kernel="event3"),
                       hidraw("0716", "5027", subsystem="usb", kernel="1-1")):
            self.assertFalse(self.matching(device), device[0]["kernel"] + " " + device[1]["kernel"])

    def test_every_rule_names_vendor_and_product(self):
        for rule in self.rules:
            keys = {(key, op, value) for key, op, value in rule}
            self.assertIn(("ATTRS{idVendor}", "==", "0716"), keys)
            self.assertIn(("ATTRS{idProduct}", "==", "5027"), keys)

    def test_no_mode_or_group_that_opens_the_node_to_others(self):
        for rule in self.rules:
            for key, op, value in rule:
                if key == "MODE":
                    self.assertEqual(int(value, 8) & 0o007, 0, "world access: " + value)
                    self.assertEqual(int(value, 8) & 0o070, 0, "group access: " + value)
                self.assertNotIn(key, ("GROUP", "OWNER", "RUN", "PROGRAM"), key)


if __name__ == "__main__":
    unittest.main(verbosity=2)
