package javax.comm;

/**
 * The Java side's own exception, as SetNonStandardBaudRate raises it; here
 * so that the tests can see it thrown.
 */
public class UnsupportedCommOperationException extends Exception {
    private static final long serialVersionUID = 1L;

    public UnsupportedCommOperationException() {}

    public UnsupportedCommOperationException(String message) {
        super(message);
    }
}
