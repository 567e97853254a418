// Tests of the desktop application through its main window.
