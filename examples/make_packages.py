#!/usr/bin/env python3
"""Builds the example packages from the files beside this script (krcan reads packages but does not
write them): motor.krdev, display.krdev, pump.krdev and machine.krsys, the system of the motor
controller (node 0x10) and the display (node 0x20) with the motor's parameters and the joystick
configuration. Usage: make_packages.py [OUTDIR] (default: this folder). The packages come out the same
on every run: fixed time stamps, files in a fixed order."""
import json
import os
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = (2026, 11, 2, 12, 0, 0)


def read(name):
    with open(os.path.join(HERE, name), 'rb') as f:
        return f.read()


def manifest(fields):
    return json.dumps(fields, indent=4).encode() + b'\n'


def write_zip(path, entries):
    # Written beside its place and renamed, so a reader never sees half a package.
    tmp = path + '.tmp'
    with zipfile.ZipFile(tmp, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, STAMP)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    os.replace(tmp, path)


def media_entries(folder):
    names = sorted(os.listdir(os.path.join(HERE, 'media')))
    return [(folder + '/' + n, read('media/' + n)) for n in names]


def main():
    out = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else HERE
    os.makedirs(out, exist_ok=True)
    firmware = read('firmware.bin')
    # A stand-in ESP32 application image; esptool checks nothing on the demo bus.
    esp32_app = bytes([0xE9, 0x03, 0x02, 0x20]) + bytes((i * 13) & 0xFF for i in range(2044))

    motor = [
        ('krdev.json', manifest({'DATABASE': 'motor.json', 'FIRMWARE': 'firmware/motor.bin', 'VERSION': '3.0.0'})),
        ('motor.json', read('motor.json')),
        ('firmware/motor.bin', firmware),
    ]
    display = [
        ('krdev.json', manifest({'DATABASE': 'display.json', 'FIRMWARE': 'firmware/display.bin', 'VERSION': '1.4.0',
                                 'MEDIA': 'media', 'ESP32': {'0x10000': 'esp32/app.bin'}})),
        ('display.json', read('display.json')),
        ('firmware/display.bin', firmware),
        ('esp32/app.bin', esp32_app),
    ] + media_entries('media')
    pump = [
        ('krdev.json', manifest({'FIRMWARE': 'firmware/pump.bin', 'VERSION': '0.9.0'})),
        ('firmware/pump.bin', firmware),
    ]
    for name, entries in (('motor.krdev', motor), ('display.krdev', display), ('pump.krdev', pump)):
        write_zip(os.path.join(out, name), entries)

    machine = [
        ('krsys.json', manifest({'DATE': '2026-11-02 12:00:00', 'DEVS': [
            {'NODEID': '0x10', 'KRDEV': 'motor.krdev', 'PARAM': 'motor-params.json'},
            {'NODEID': '0x20', 'KRDEV': 'display.krdev'},
        ]})),
        ('motor.krdev', open(os.path.join(out, 'motor.krdev'), 'rb').read()),
        ('display.krdev', open(os.path.join(out, 'display.krdev'), 'rb').read()),
        ('motor-params.json', read('motor-params.json')),
        ('joystick.json', read('joystick.json')),
    ]
    write_zip(os.path.join(out, 'machine.krsys'), machine)


if __name__ == '__main__':
    main()
