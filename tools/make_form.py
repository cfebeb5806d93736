#!/usr/bin/env python3
"""Writes src/dialog/updatetarvildialog.ui: the style sheets hold tabs and line breaks
that are easy to lose in a hand edit, so the form is generated from this table."""
import os
from xml.sax.saxutils import escape

S1 = "border-image: url(:/images/beijing.jpg);"
S2 = "border-image: url(:);\nbackground:transparent;\ncolor: rgb(255, 255, 255);\nfont: 75 12pt \"微软雅黑\";"
S3 = ("QPushButton{\n\n\tborder-image: url(:/images/close_namal.png);\n}\nQPushButton:hover{\n\t\n"
      "\tborder-image: url(:/images/close_hover.png);\n}\nQPushButton:pressed{\n\t\n"
      "\tborder-image: url(:/images/close_hover.png);\n}")
S4 = "border-image: url(:);\nfont: 75 14pt \"微软雅黑\";\ncolor: rgb(255, 255, 255);"
S5 = "border-image: url(:/images/logo.png);"
S6 = ("\nQProgressBar{\n\tborder:none;\nborder-image:none;\n\tbackground-color: rgb(255, 255, 255);\n"
      "   border-radius:5px;\n    text-align:center;\n  \n}\nQProgressBar::chunk {\n"
      "background-color: rgb(26, 156, 254);\n   border-radius:5px;\n}")
S7 = "border-image: url(:);\nfont: 75 18pt \"微软雅黑\";\ncolor: rgb(255, 255, 255);"


def prop(name, inner):
    return f'     <property name="{name}">\n      {inner}\n     </property>\n'


def string(text):
    return f"<string>{escape(text)}</string>"


def rect(x, y, w, h):
    return (f"<rect>\n       <x>{x}</x>\n       <y>{y}</y>\n       <width>{w}</width>\n"
            f"       <height>{h}</height>\n      </rect>")


def size(w, h):
    return f"<size>\n       <width>{w}</width>\n       <height>{h}</height>\n      </size>"


CENTRED = "<set>Qt::AlignCenter</set>"


def widget(cls, name, geometry, sheet, extra=""):
    return (f'    <widget class="{cls}" name="{name}">\n' + prop("geometry", rect(*geometry)) + extra
            + prop("styleSheet", string(sheet)) + '    </widget>\n')


children = [
    widget("QLabel", "label_ContactUs", (40, 630, 931, 61), S2,
           prop("text", string("")) + prop("alignment", CENTRED)),
    widget("QPushButton", "pushButton_exit", (950, 30, 9, 11), S3,
           prop("minimumSize", size(0, 0)) + prop("text", string(""))),
    widget("QLabel", "label_title", (10, 10, 541, 31), S4, prop("text", string(""))),
    widget("QLabel", "label_logo", (180, 180, 602, 163), S5, prop("text", string(""))),
    widget("QProgressBar", "progressBar", (130, 520, 751, 12), S6,
           prop("maximumSize", size(16777215, 12)) + prop("value", "<number>0</number>")),
    widget("QLabel", "label_text", (20, 450, 951, 31), S7,
           prop("text", string("正在检测新版本")) + prop("alignment", CENTRED)),
]

ui = f"""<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>UpdateTarvilDialog</class>
 <widget class="QDialog" name="UpdateTarvilDialog">
  <property name="geometry">
   {rect(0, 0, 1000, 700)}
  </property>
  <property name="windowTitle">
   {string("自动更新")}
  </property>
  <property name="styleSheet">
   <string/>
  </property>
  <layout class="QVBoxLayout" name="verticalLayout">
   <property name="spacing">
    <number>0</number>
   </property>
   <property name="leftMargin">
    <number>0</number>
   </property>
   <property name="topMargin">
    <number>0</number>
   </property>
   <property name="rightMargin">
    <number>0</number>
   </property>
   <property name="bottomMargin">
    <number>0</number>
   </property>
   <item>
    <widget class="QWidget" name="widget" native="true">
{prop("styleSheet", string(S1))}{''.join(children)}   </widget>
   </item>
  </layout>
 </widget>
 <layoutdefault spacing="6" margin="11"/>
 <resources/>
 <connections/>
</ui>
"""

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "..", "src", "dialog", "updatetarvildialog.ui"), "w", encoding="utf-8") as f:
    f.write(ui)
