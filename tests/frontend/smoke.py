import os, sys, time
sys.path.insert(0, os.path.dirname(__file__))
import harness
class T(harness.GuiTestCase):
    def test_smoke(self):
        self.start()
        print(self.log_lines())
        for i in (900, 908, 100, 104, 105, 111):
            print(i, self.state(i), repr(self.text(i)))
        print(self.driver("client"))
        os.system(f"DISPLAY={self.display.name} import -window root /tmp/fe-shot.png")
        print(self.close_window())
import unittest; unittest.main()
